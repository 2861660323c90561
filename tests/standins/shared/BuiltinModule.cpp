#include "shared/BuiltinModule.h"

#include <cwchar>

FARPROC CBuiltinModule::Procedure(const char* name)
{
    InitOnceExecuteOnce(&m_Once, LoadOnce, this, nullptr);
    if (m_LoadError != ERROR_SUCCESS)
    {
        SetLastError(m_LoadError);
        return nullptr;
    }
    for (size_t i = 0; i < m_Count; ++i)
    {
        if (std::strcmp(m_Names[i], name) != 0)
            continue;
        if (!m_Functions[i])
            SetLastError(ERROR_PROC_NOT_FOUND);
        return m_Functions[i];
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL CALLBACK CBuiltinModule::LoadOnce(PINIT_ONCE, PVOID self, PVOID*)
{
    auto* module = static_cast<CBuiltinModule*>(self);
    module->m_LoadError = module->Load();
    return TRUE;
}

DWORD CBuiltinModule::Load()
{
    wchar_t path[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0)
        return GetLastError();
    if (length >= MAX_PATH || swprintf(path + length, MAX_PATH - length, L"\\%ls", m_FileName) < 0)
        return ERROR_BUFFER_OVERFLOW;
    // Kept for the life of the process: the stand-in hands out its functions
    // and buffers at any time, and freeing a module at unload is unsafe.
    HMODULE module = LoadLibraryExW(path, nullptr, 0);
    if (!module)
        return GetLastError();
    for (size_t i = 0; i < m_Count; ++i)
        m_Functions[i] = GetProcAddress(module, m_Names[i]);
    TouchStandin();
    return ERROR_SUCCESS;
}

void CBuiltinModule::TouchStandin() const
{
    HMODULE standin = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(this), &standin))
        GetProcAddress(standin, m_Names[0]);
}
