#include "update/ProgramSwap.h"

#include "diag/ErrorText.h"
#include "diag/Log.h"

#include <windows.h>

namespace
{
void LogMoveFailure(const wchar_t* format, const std::wstring& from, const std::wstring& to)
{
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, format, from.c_str(), to.c_str(), CErrorText(error).Text(), (long)error);
}
} // namespace

bool CProgramSwap::Swap()
{
    if (!Backup())
        return false;
    if (InstallNewProgram())
        return true;
    Restore();
    return false;
}

bool CProgramSwap::Backup()
{
    DeleteFileW(m_BackupPath.c_str());
    if (!MoveFileW(m_ProgramPath.c_str(), m_BackupPath.c_str()))
    {
        LogMoveFailure(
            L"[!] CUpdate: Unable to backup service program \"%s\" to\r\n    \"%s\"\r\n    %s. Error code = %ld.",
            m_ProgramPath, m_BackupPath);
        return false;
    }
    LogPrintf(LOG_INFO, L"[*] CUpdate: Service program \"%s\" backed up to\r\n    \"%s\"", m_ProgramPath.c_str(),
              m_BackupPath.c_str());
    return true;
}

bool CProgramSwap::Restore()
{
    DeleteFileW(m_ProgramPath.c_str());
    if (!MoveFileW(m_BackupPath.c_str(), m_ProgramPath.c_str()))
    {
        LogMoveFailure(L"[!] CUpdate: Unable to restore backup service program \"%s\" to\r\n    \"%s\"\r\n    %s. "
                       L"Error code = %ld.",
                       m_BackupPath, m_ProgramPath);
        return false;
    }
    LogPrintf(LOG_INFO, L"[*] CUpdate: Service program backup \"%s\" restored to\r\n    \"%s\"", m_BackupPath.c_str(),
              m_ProgramPath.c_str());
    return true;
}

bool CProgramSwap::InstallNewProgram()
{
    if (!MoveFileW(m_NewProgramPath.c_str(), m_ProgramPath.c_str()))
    {
        LogMoveFailure(
            L"[!] CUpdate: Unable to move new service program \"%s\" to\r\n    \"%s\".\r\n    %s. Error code = %ld.",
            m_NewProgramPath, m_ProgramPath);
        return false;
    }
    LogPrintf(LOG_INFO, L"[*] CUpdate: New service program \"%s\" moved to \r\n    \"%s\".", m_NewProgramPath.c_str(),
              m_ProgramPath.c_str());
    return true;
}
