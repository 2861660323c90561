#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

namespace ResourceRelease
{
inline void CloseServiceHandle(SC_HANDLE handle) { ::CloseServiceHandle(handle); }
} // namespace ResourceRelease

using CServiceHandle = CUniqueResource<SC_HANDLE, ResourceRelease::CloseServiceHandle>;
