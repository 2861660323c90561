#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An entry of a zip archive written by hand, so that a test can give it any
// name, type or size in its headers.
struct STORED_ENTRY
{
    std::string Name; // UTF-8
    std::string Data;
    uint32_t ExternalAttributes = 0;
    bool MadeOnUnix = false;
    // The uncompressed size the headers claim; 0: the real one.
    uint32_t DeclaredSize = 0;
};

// Writes the entries, uncompressed, as a zip archive.
void WriteStoredZip(const std::wstring& path, const std::vector<STORED_ENTRY>& entries);
