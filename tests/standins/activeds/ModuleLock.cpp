#include "activeds/ModuleLock.h"

#include <atomic>

namespace
{
std::atomic<long> References{0};
} // namespace

void AddModuleReference() { ++References; }

void ReleaseModuleReference() { --References; }

bool ModuleInUse() { return References.load() != 0; }
