#pragma once

#include "common/Handle.h"
#include "update/Manifest.h"

#include <windows.h>

#include <string>
#include <vector>

// The MD5 digest of a whole file. False for an empty file, or one that cannot
// be opened or read.
bool ComputeFileMd5(const std::wstring& fileName, BYTE digest[16]);
// The same for a file already open for reading, from its first byte.
bool ComputeHandleMd5(HANDLE file, BYTE digest[16]);

// Extracts the update package's files into folder (which ends in "\") and
// verifies them against the manifest. Only plain files whose names are safe
// and listed in the manifest (or are "Kestrin.new") are written; every other
// entry is skipped. A package over a bound (entries, size of an entry) is
// refused, and so is one whose extraction is cancelled by cancelEvent.
//
// On success: "Kestrin.new" in folder, held open for reading and deleting and
// shared for reading only, so that what was verified cannot be changed or
// swapped before it is moved into place. That is only when the package held a
// "Kestrin.new" matching its digest, no listed file mismatched and every entry
// was read; otherwise no handle. The package file is deleted in every case.
CHandle ExtractAndVerify(const std::wstring& packagePath, const std::wstring& folder,
                         const std::vector<MANIFEST_ENTRY>& manifest, HANDLE cancelEvent = nullptr);
