#pragma once

#include <windows.h>

#include <string>

// Translates an account name of the given ADS_NAME_TYPE_ENUM form (NT4
// "DOMAIN\name", or a SID text) into its distinguished name, asking the
// global catalog. Returns the result of the first step that failed. The
// calling thread must be in a COM apartment.
HRESULT TranslateToDN(const std::wstring& name, long inputType, std::wstring& dn);
