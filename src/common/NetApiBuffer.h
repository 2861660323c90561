#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <lm.h>

namespace ResourceRelease
{
inline void NetApiBufferFree(void* buffer) { ::NetApiBufferFree(buffer); }
} // namespace ResourceRelease

// A buffer that a network management function allocated.
using CNetApiBuffer = CUniqueResource<void*, ResourceRelease::NetApiBufferFree>;
