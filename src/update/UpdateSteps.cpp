// The steps of one update check: the manifest, the version, the package, and
// the swap of the program file.
#include "common/StringConvert.h"
#include "common/Version.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/FileVersionInfo.h"
#include "platform/HttpClient.h"
#include "platform/HttpSession.h"
#include "update/DownloadFolder.h"
#include "update/PackageExtraction.h"
#include "update/ProgramSwap.h"
#include "update/Update.h"
#include "update/UpdateLimits.h"

#include <cwchar>

namespace
{
constexpr wchar_t UpdatesPath[] = L"/api/user_agent/updates/";
constexpr wchar_t ManifestName[] = L"ua_update_x64.md5";
constexpr wchar_t PackageName[] = L"ua_update_x64.zip";

std::wstring ServerPath(const wchar_t* name) { return std::wstring(UpdatesPath) + name; }

// The failure of a GET in the words of what was asked for.
void LogGetFailure(const wchar_t* what, const std::wstring& server, const std::wstring& path,
                   const HTTP_REQUEST& request)
{
    if (request.LastError != 0)
    {
        CErrorText text;
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to get %s \"%s%s\",\r\n    %s. Error code = %ld.", what,
                  server.c_str(), path.c_str(), HttpErrorText(request.LastError, text), (long)request.LastError);
    }
    else
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to get %s \"%s%s\",\r\n    HTTP status code = %lu", what,
                  server.c_str(), path.c_str(), (unsigned long)request.StatusCode);
}
} // namespace

bool CUpdate::UpdateOnce()
{
    if (!CheckManifest())
        return false;
    m_RestartService = true;
    LogMessage(L"[*] CUpdate: New service available, downloading ...");
    bool installed = DownloadAndInstall();
    // Nothing of a refused package stays; the installed program has left.
    EmptyDownloadFolder(m_DownloadFolder);
    m_RestartService = installed;
    return installed;
}

bool CUpdate::DownloadAndInstall()
{
    if (!DownloadPackage())
        return false;
    LogMessage(L"[*] CUpdate: New service downloaded successfully.");
    CHandle newProgram =
        ExtractAndVerify(m_DownloadFolder + PackageName, m_DownloadFolder, m_Manifest, m_StopEvent.Get());
    if (!newProgram || !IsTruthfulVersion(m_NewProgramPath) || !IsAcceptedSigner(newProgram.Get()))
        return false;
    LogMessage(L"[*] CUpdate: New service extracted and verified.");
    // A service that is being stopped is not to be started again on the new
    // build.
    if (WaitForSingleObject(m_StopEvent.Get(), 0) == WAIT_OBJECT_0)
        return false;
    return CProgramSwap(m_ProgramPath, m_BackupPath, m_NewProgramPath).Swap(newProgram.Get());
}

bool CUpdate::CheckManifest()
{
    HTTP_CONNECTION connection(m_UpdateServer);
    if (!connection.Connect())
        return false;
    HTTP_REQUEST request(connection.Handle.Get());
    request.CancelEvent = m_StopEvent.Get();
    request.Deadline = GetTickCount64() + ManifestDeadlineMs;
    std::wstring path = ServerPath(ManifestName);
    if (!request.Get(path.c_str()))
    {
        LogGetFailure(L"update package manifest", m_UpdateServer, path, request);
        return false;
    }
    if (!request.DownloadToBuffer())
    {
        CErrorText text;
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to download update package manifest,\r\n    %s. Error code = %ld.",
                  HttpErrorText(request.LastError, text), (long)request.LastError);
        return false;
    }
    m_Manifest = ParseManifest(AnsiToWide(reinterpret_cast<const char*>(request.ResponseBuffer.get())));
    for (const auto& entry : m_Manifest)
        if (_wcsicmp(entry.FileName.c_str(), L"Kestrin.new") == 0 && IsNewerVersion(entry.Version))
        {
            m_NewVersion = entry.Version;
            return true;
        }
    LogMessage(L"[*] CUpdate: Newer service version not available.");
    return false;
}

bool CUpdate::IsNewerVersion(const std::wstring& version)
{
    unsigned long available[3] = {};
    if (!ParseVersionTriple(version, available))
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Invalid version format (%s) in update manifest file.", version.c_str());
        return false;
    }
    const std::wstring& program = GetCurrentFilePath();
    DWORD handle = 0;
    CFileVersionInfo info;
    unsigned long running[3] = {};
    m_RunningVersion.clear();
    if (!info.Read(program.c_str(), GetFileVersionInfoSizeW(program.c_str(), &handle)) ||
        !ParseVersionTriple(info.FileVersion, running))
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to obtain version of \"%s\".", program.c_str());
        return true;
    }
    m_RunningVersion = info.FileVersion;
    LogPrintf(LOG_INFO, L"[*] CUpdate: New Version = %s, Old Version = %s.", version.c_str(), info.FileVersion.c_str());
    return IsNewerTriple(available, running);
}

bool CUpdate::DownloadPackage()
{
    HTTP_CONNECTION connection(m_UpdateServer);
    if (!connection.Connect())
        return false;
    HTTP_REQUEST request(connection.Handle.Get());
    request.CancelEvent = m_StopEvent.Get();
    request.Deadline = GetTickCount64() + PackageDeadlineMs;
    std::wstring path = ServerPath(PackageName);
    if (!request.Get(path.c_str()))
    {
        LogGetFailure(L"update package", m_UpdateServer, path, request);
        return false;
    }
    if (!request.DownloadToFile((m_DownloadFolder + PackageName).c_str(), MaxPackageBytes))
    {
        if (request.LastError == ERROR_FILE_TOO_LARGE)
        {
            LogPrintf(LOG_ERROR, L"[!] CUpdate: Update package refused: it is larger than the limit of %lu bytes.",
                      static_cast<unsigned long>(MaxPackageBytes));
            return false;
        }
        CErrorText text;
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to download update package.\r\n    %s. Error code = %ld.",
                  HttpErrorText(request.LastError, text), (long)request.LastError);
        return false;
    }
    return true;
}
