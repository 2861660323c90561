#pragma once

#include "common/Handle.h"
#include "common/Thread.h"

#include <string>

// The update thread of the service process. It holds the process's HTTP
// session open for its whole life, and checks the Identification Server for a
// newer build some time after the start and then periodically.
class CUpdate : public CThread
{
public:
    static constexpr DWORD FirstCheckMs = 120000;
    static constexpr DWORD CheckPeriodMs = 7200000;

    // The delays are the product's unless a test asks for shorter ones.
    explicit CUpdate(DWORD firstCheckMs = FirstCheckMs, DWORD checkPeriodMs = CheckPeriodMs);

    // Ends the thread at its next wait.
    void SignalStopEvent() { SetEvent(m_StopEvent.Get()); }
    // Read by the entry routine once the thread has ended: a newer build was
    // installed and the service is to be started again.
    bool RestartPending() const { return m_RestartService; }

protected:
    DWORD ThreadProc() override;

private:
    bool PrepareDownloadFolder();
    void RunChecks();
    bool GetUpdateServer();
    const std::wstring& GetCurrentFilePath();

    DWORD m_FirstCheckMs;
    DWORD m_CheckPeriodMs;
    bool m_RestartService = false;
    CHandle m_StopEvent;
    std::wstring m_ProgramPath;
    std::wstring m_BackupPath;
    std::wstring m_DownloadFolder;
    std::wstring m_UpdateServer;
};
