#include "update/ProgramSwap.h"

#include "diag/ErrorText.h"
#include "diag/Log.h"

#include <cstring>
#include <vector>

namespace
{
bool RenameOpenFile(HANDLE file, const std::wstring& target)
{
    DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, target.c_str(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
}

void LogMoveFailure(const wchar_t* format, const std::wstring& from, const std::wstring& to)
{
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, format, from.c_str(), to.c_str(), CErrorText(error).Text(), (long)error);
}
} // namespace

bool CProgramSwap::Swap(HANDLE newProgram)
{
    if (!Backup())
        return false;
    if (InstallNewProgram(newProgram))
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

bool CProgramSwap::InstallNewProgram(HANDLE newProgram)
{
    if (!RenameOpenFile(newProgram, m_ProgramPath))
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
