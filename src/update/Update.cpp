#include "update/Update.h"

#include "config/Options.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/FileVersionInfo.h"
#include "platform/HttpSession.h"
#include "platform/RegKey.h"
#include "update/DownloadFolder.h"

CUpdate::CUpdate(IUpdateHost& host, DWORD firstCheckMs, DWORD checkPeriodMs)
    : CThread(L"CUpdate"), m_FirstCheckMs(firstCheckMs), m_CheckPeriodMs(checkPeriodMs), m_Host(host),
      m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

DWORD CUpdate::ThreadProc()
{
    LogMessage(L"CUpdate: thread started");
    if (InitializeHttp())
    {
        if (PrepareDownloadFolder())
        {
            // What an attempt of an earlier run left behind.
            EmptyDownloadFolder(m_DownloadFolder);
            RunChecks();
        }
        CloseHttp();
    }
    LogMessage(L"CUpdate: thread stopped");
    return 0;
}

bool CUpdate::PrepareDownloadFolder()
{
    const std::wstring& program = GetCurrentFilePath();
    m_BackupPath = program + L".old";
    m_DownloadFolder = program.substr(0, program.rfind(L'\\')) + L"\\Tmp\\";
    m_NewProgramPath = m_DownloadFolder + L"Kestrin.new";
    LogPrintf(LOG_INFO, L"CUpdate: Download folder = \"%s\"", m_DownloadFolder.c_str());
    if (CreateDirectoryW(m_DownloadFolder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, L"[!] CUpdate: Error creating download folder = \"%s\".\r\n    %s. Error code = %ld.",
              m_DownloadFolder.c_str(), CErrorText(error).Text(), (long)error);
    return false;
}

void CUpdate::RunChecks()
{
    DWORD wait = m_FirstCheckMs;
    for (;;)
    {
        DWORD result = WaitForSingleObject(m_StopEvent.Get(), wait);
        if (result == WAIT_OBJECT_0)
        {
            LogMessage(L"[!] CUpdate: Stop signaled");
            return;
        }
        if (result != WAIT_TIMEOUT)
            return;
        if (!m_Host.ServiceRunning())
        {
            LogMessage(L"[!] CUpdate: Waiting for service to start");
            continue;
        }
        wait = m_CheckPeriodMs;
        DeleteSettledBackup();
        if (!GetUpdateServer())
        {
            LogMessage(L"[!] CUpdate: Unable to determine the update source(identification server).");
            continue;
        }
        LogPrintf(LOG_INFO, L"[*] CUpdate: Update server = \"%s\"", m_UpdateServer.c_str());
        if (UpdateOnce())
        {
            LogMessage(L"[*] Update complete, restarting service.");
            m_Host.StopService();
            return;
        }
    }
}

bool CUpdate::GetUpdateServer()
{
    CRegKey key;
    LONG result = key.Create(OPTIONS_KEY, KEY_READ);
    if (result != ERROR_SUCCESS)
    {
        LogPrintf(LOG_ERROR,
                  L"[!] CUpdate: Unable to open registry key HKEY_LOCAL_MACHINE\\%s\r\n    %s. Error code = %ld.",
                  OPTIONS_KEY, CErrorText(static_cast<DWORD>(result)).Text(), (long)result);
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    result = key.QueryType(L"Identification Server", type, size);
    if (result == ERROR_SUCCESS && type != REG_SZ)
        result = ERROR_DATATYPE_MISMATCH;
    if (result == ERROR_SUCCESS)
        result = key.ReadString(L"Identification Server", m_UpdateServer);
    if (result == ERROR_FILE_NOT_FOUND)
        m_UpdateServer.clear();
    if (result == ERROR_SUCCESS)
        return true;
    LogPrintf(
        LOG_ERROR,
        L"[!] CUpdate: Unable to get registry value %s in key HKEY_LOCAL_MACHINE\\%s\r\n    %s. Error code = %ld.",
        L"Identification Server", OPTIONS_KEY, CErrorText(static_cast<DWORD>(result)).Text(), (long)result);
    return false;
}

const std::wstring& CUpdate::GetCurrentFilePath()
{
    if (!m_ProgramPath.empty())
        return m_ProgramPath;
    m_ProgramPath = ProgramFilePath();
    if (m_ProgramPath.empty())
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR,
                  L"[!] CUpdate::GetCurrentFilePath: Failed to get module filename.\r\n    %s. Error code = %ld.",
                  CErrorText(error).Text(), (long)error);
    }
    return m_ProgramPath;
}

namespace
{
ULONGLONG ProcessUptimeMs()
{
    FILETIME created{}, exited{}, kernel{}, user{}, now{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER start{{created.dwLowDateTime, created.dwHighDateTime}};
    ULARGE_INTEGER current{{now.dwLowDateTime, now.dwHighDateTime}};
    return current.QuadPart > start.QuadPart ? (current.QuadPart - start.QuadPart) / 10000 : 0;
}
} // namespace

void CUpdate::DeleteSettledBackup()
{
    // The process that installed this build watches it for RollbackWatchMs
    // after starting it, and may need the backup until then; a margin keeps
    // its last look clear of the delete.
    constexpr ULONGLONG SettledMs = RollbackWatchMs + 30000;
    if (ProcessUptimeMs() < SettledMs || GetFileAttributesW(m_BackupPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    if (DeleteFileW(m_BackupPath.c_str()))
        LogPrintf(LOG_INFO, L"[*] CUpdate: Backup \"%s\" of the previous service program deleted.",
                  m_BackupPath.c_str());
}
