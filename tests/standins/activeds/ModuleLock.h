#pragma once

// Objects alive and server locks held, which keep the DLL from being unloaded
// (DllCanUnloadNow).
void AddModuleReference();
void ReleaseModuleReference();
bool ModuleInUse();
