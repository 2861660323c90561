#pragma once

#include <string>

// The name under which a package entry may be written into the download
// folder: the last component of its name, "/" and "\" both counting as
// separators. Empty when any component is empty, "." or "..", holds a drive,
// a stream or a character Windows does not allow in a file name, ends in a
// dot or a blank, or is a reserved device name (with or without extension):
// such an entry is never written.
std::wstring SafeEntryBaseName(const std::wstring& entryName);
