#pragma once

#include <string>

// The first three numbers of a dotted version ("5.1.2" or "5.1.2.7"); false
// when it has fewer than three parts.
bool ParseVersionTriple(const std::wstring& text, unsigned long parts[3]);

// Whether the available version is newer than the running one, by major,
// minor and build number; a fourth part counts for neither.
bool IsNewerTriple(const unsigned long available[3], const unsigned long running[3]);
