#pragma once

#include <cstddef>

// Buffers of the stand-in's own answers. They are told apart from the buffers
// of Wine's functions, which answer when nothing is scripted, so that
// WTSFreeMemory frees each with the allocator it came from.
void* AllocateWtsMemory(std::size_t size); // zeroed; null when out of memory
bool FreeWtsMemory(void* memory);          // false when the buffer is not ours
