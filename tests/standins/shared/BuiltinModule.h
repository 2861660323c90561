#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

// Wine's own implementation of the DLL that a stand-in replaces. It is loaded
// by its full path in the system folder: by name, the loader would hand back
// the stand-in, which already holds that name in the process.
//
// Wine's loader answers a lookup by name from the module it touched last, so
// every forwarded function is looked up once, when the module loads, and the
// stand-in is touched after that: later loads by name (LoadLibrary, the
// imports of DLLs loaded later) keep finding the stand-in.
class CBuiltinModule
{
public:
    static constexpr size_t MaxFunctions = 16;

    // The DLL's file name and the names of every function the stand-in
    // forwards to it, which must stay valid for the life of the object.
    template <size_t Count>
    CBuiltinModule(const wchar_t* fileName, const char* const (&functions)[Count])
        : m_FileName(fileName), m_Names(functions), m_Count(Count)
    {
        static_assert(Count <= MaxFunctions, "raise MaxFunctions");
    }
    CBuiltinModule(const CBuiltinModule&) = delete;
    CBuiltinModule& operator=(const CBuiltinModule&) = delete;

    // Null, with the last error set, when the module or the function is missing.
    FARPROC Procedure(const char* name);

    // The function as the type of its declaration, e.g. decltype(&::GetIfEntry).
    template <typename Function> Function Get(const char* name)
    {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(Procedure(name)));
    }

private:
    static BOOL CALLBACK LoadOnce(PINIT_ONCE once, PVOID self, PVOID* context);
    DWORD Load();
    void TouchStandin() const;

    const wchar_t* m_FileName;
    const char* const* m_Names;
    size_t m_Count;
    INIT_ONCE m_Once = INIT_ONCE_STATIC_INIT;
    DWORD m_LoadError = ERROR_SUCCESS;
    FARPROC m_Functions[MaxFunctions] = {};
};
