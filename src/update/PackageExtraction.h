#pragma once

#include "update/Manifest.h"

#include <windows.h>

#include <string>
#include <vector>

// The MD5 digest of a whole file. False for an empty file, or one that cannot
// be opened or read.
bool ComputeFileMd5(const std::wstring& fileName, BYTE digest[16]);

// Extracts the update package's files into folder (which ends in "\") and
// verifies them against the manifest. True only when the package held a
// "Kestrin.new" matching its digest, no listed file mismatched and every entry
// was read. The package file is deleted in every case.
bool ExtractAndVerify(const std::wstring& packagePath, const std::wstring& folder,
                      const std::vector<MANIFEST_ENTRY>& manifest);
