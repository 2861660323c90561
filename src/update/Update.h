#pragma once

#include "common/Handle.h"
#include "platform/Thread.h"
#include "update/Manifest.h"
#include "update/UpdateHost.h"

#include <string>
#include <vector>

// The update thread of the service process. It holds the process's HTTP
// session open for its whole life, and checks the Identification Server for a
// newer build some time after the start and then periodically.
class CUpdate : public CThread
{
public:
    static constexpr DWORD FirstCheckMs = 120000;
    static constexpr DWORD CheckPeriodMs = 7200000;
    // How long a restarted new build must keep running before it is kept.
    static constexpr DWORD RollbackWatchMs = 60000;
    // Bounds of the requests: the manifest is small, the package may take a
    // slow line some minutes.
    static constexpr DWORD ManifestDeadlineMs = 60000;
    static constexpr DWORD PackageDeadlineMs = 900000;

    // The delays are the product's unless a test asks for shorter ones.
    explicit CUpdate(IUpdateHost& host, DWORD firstCheckMs = FirstCheckMs, DWORD checkPeriodMs = CheckPeriodMs);

    // Ends the thread at its next wait.
    void SignalStopEvent() { SetEvent(m_StopEvent.Get()); }
    // Read by the entry routine once the thread has ended: a newer build was
    // installed and the service is to be started again.
    bool RestartPending() const { return m_RestartService; }
    // Starts the service again, once it has stopped, to run the new build.
    bool RestartUpdatedService();
    // After RestartUpdatedService: watches the new build for RollbackWatchMs;
    // when it does not reach RUNNING and stay there, puts the previous
    // program back and starts the service on it. True when the new build
    // was kept.
    bool KeepOrRollBack();

protected:
    DWORD ThreadProc() override;

private:
    bool PrepareDownloadFolder();
    void RunChecks();
    bool GetUpdateServer();
    const std::wstring& GetCurrentFilePath();
    // One check: true when a newer build was installed.
    bool UpdateOnce();
    bool DownloadAndInstall();
    bool CheckManifest();
    bool IsNewerVersion(const std::wstring& version);
    bool DownloadPackage();
    // The checks of the extracted program itself, held open in newProgram.
    bool IsTruthfulVersion(const std::wstring& newProgramPath);
    bool IsAcceptedSigner(HANDLE newProgram);
    // The backup of the program before the last update, once this build has
    // run for longer than the previous one watches it.
    void DeleteSettledBackup();
    bool RollBack();

    DWORD m_FirstCheckMs;
    DWORD m_CheckPeriodMs;
    IUpdateHost& m_Host;
    bool m_RestartService = false;
    CHandle m_StopEvent;
    std::wstring m_ProgramPath;
    std::wstring m_BackupPath;
    std::wstring m_DownloadFolder;
    std::wstring m_UpdateServer;
    std::wstring m_NewProgramPath;
    std::vector<MANIFEST_ENTRY> m_Manifest;
    // The version the manifest gives the new program, and the running
    // program's own (empty when it cannot be read).
    std::wstring m_NewVersion;
    std::wstring m_RunningVersion;
};

// The delay of the service's first check: FirstCheckMs in the product.
extern const DWORD ServiceFirstUpdateCheckMs;
