#pragma once

#include <string>

// Deletes every file in the folder (which ends in "\"); folders in it are
// left alone. Each file that cannot be deleted is logged.
void EmptyDownloadFolder(const std::wstring& folder);
