#pragma once

#include <string>
#include <vector>

// One line of an update manifest: a file of the package, its MD5 digest as 32
// hexadecimal digits, and (for the program) its version.
struct MANIFEST_ENTRY
{
    std::wstring Md5;
    std::wstring FileName;
    std::wstring Version;
};

// The manifest's lines ("name|digest|version", CR and/or LF between them);
// fields are trimmed, and a line with fewer than two fields is skipped.
std::vector<MANIFEST_ENTRY> ParseManifest(const std::wstring& text);
