#pragma once

#include <windows.h>

// What one update may bring, so that a broken or hostile server cannot fill
// the system volume or hold the update thread: over a bound, the update is
// refused.
constexpr ULONGLONG MaxPackageBytes = 32ull << 20;
constexpr ULONGLONG MaxPackageEntryBytes = 32ull << 20;
constexpr ULONGLONG MaxPackageEntries = 64;
