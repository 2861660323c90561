#include "identifiers/ShellProcess.h"

#include "common/Handle.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/RegKey.h"

#include <cwchar>
#include <tlhelp32.h>

namespace
{
constexpr wchar_t WinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr DWORD ShellNameBytes = 520;
constexpr DWORD NameCharacters = 256;
constexpr DWORD TokenUserBytes = 256;
constexpr DWORD IdleProcessId = 0;
constexpr DWORD SystemProcessId = 4;

// Logs "format" with the system text of the last error and the error; the
// format's first placeholder may be a process id.
void LogLastError(const wchar_t* format)
{
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, format, CErrorText(error).Text(), (long)error);
}

void LogLastError(const wchar_t* format, DWORD pid)
{
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, format, pid, CErrorText(error).Text(), (long)error);
}

// The file name after the last backslash; the whole text when there is none.
std::wstring FileNameOf(const std::wstring& path)
{
    size_t backslash = path.rfind(L'\\');
    return backslash == std::wstring::npos ? path : path.substr(backslash + 1);
}

bool QueryTokenSession(HANDLE token, DWORD& sessionId)
{
    DWORD returned = 0;
    return GetTokenInformation(token, TokenSessionId, &sessionId, sizeof(sessionId), &returned) != FALSE;
}

// The shell's executable name and the running processes with it.
bool ListShellProcesses(const wchar_t* caller, std::vector<DWORD>& pids)
{
    std::wstring shell;
    if (!GetShellProcessName(shell))
    {
        LogPrintf(LOG_ERROR, L"[!] %s: Failed to get shell process name", caller);
        return false;
    }
    if (!GetRunningPIDList(FileNameOf(shell), pids))
    {
        LogPrintf(LOG_ERROR, L"[!] %s: Failed to get running PID list", caller);
        return false;
    }
    return true;
}

// Whether the process's token belongs to the session; logs why it cannot tell.
bool IsShellOfSession(DWORD pid, DWORD sessionId)
{
    CHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process)
    {
        LogLastError(L"[!] GetShellProcessPID: Failed to open process %lu.\r\n    %s. Error code = %ld.", pid);
        return false;
    }
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(process.Get(), TOKEN_QUERY, &rawToken))
    {
        LogLastError(L"[!] GetShellProcessPID: Failed to open process %lu token.\r\n    %s. Error code = %ld.", pid);
        return false;
    }
    CHandle token(rawToken);
    DWORD tokenSession = 0;
    if (!QueryTokenSession(token.Get(), tokenSession))
    {
        LogLastError(
            L"[!] GetShellProcessPID: Failed to get process %lu token information.\r\n    %s. Error code = %ld.", pid);
        return false;
    }
    return tokenSession == sessionId;
}

// The owner of one candidate shell process, when it runs in the session.
bool OwnerOfShell(DWORD pid, DWORD sessionId, std::wstring& accountName, std::wstring& domainName)
{
    CHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
    if (!process)
    {
        LogLastError(L"[!] GetShellProcessOwner: Failed to open process %lu.\r\n    %s. Error code = %ld.", pid);
        return false;
    }
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(process.Get(), TOKEN_QUERY, &rawToken))
    {
        LogLastError(L"[!] GetShellProcessOwner: Failed to open process %lu token.\r\n    %s. Error code = %ld.", pid);
        return false;
    }
    CHandle token(rawToken);
    DWORD tokenSession = 0;
    if (!QueryTokenSession(token.Get(), tokenSession))
    {
        LogLastError(
            L"[!] GetShellProcessOwner: Failed to open process %lu token information.\r\n    %s. Error code = %ld.",
            pid);
        return false;
    }
    if (tokenSession != sessionId)
        return false;
    if (!GetTokenUser(token.Get(), accountName, domainName))
    {
        LogMessage(L"[!] GetShellProcessOwner: Failed to get token user");
        return false;
    }
    return true;
}
} // namespace

bool GetShellProcessName(std::wstring& name)
{
    CRegKey key;
    LONG result = key.Open(WinlogonKey, KEY_READ);
    if (result != ERROR_SUCCESS)
    {
        LogPrintf(LOG_ERROR, L"[!] GetShellProcessName: Failed to open Winlogon registry key; 0x%lx", result);
        return false;
    }
    wchar_t buffer[ShellNameBytes / sizeof(wchar_t)] = {};
    DWORD type = 0;
    DWORD size = ShellNameBytes;
    result = RegQueryValueExW(key.Get(), L"Shell", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (result == ERROR_SUCCESS)
    {
        bool isText = type == REG_SZ || type == REG_EXPAND_SZ;
        bool terminated = size == 0 || (size % 2 == 0 && buffer[size / 2 - 1] == L'\0');
        if (!isText || !terminated)
            result = ERROR_INVALID_DATA;
    }
    if (result != ERROR_SUCCESS)
    {
        LogPrintf(LOG_ERROR, L"[!] GetShellProcessName: Failed to query Winlogon\\shell registry value; 0x%lx", result);
        return false;
    }
    name.assign(buffer, size == 0 ? 0 : size / 2 - 1);
    return true;
}

bool GetRunningPIDList(const std::wstring& executableName, std::vector<DWORD>& pids)
{
    CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
    {
        LogLastError(L"[!] GetRunningPIDList: Failed to take process snapshot.\r\n    %s. Error code = %ld.");
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.Get(), &entry))
    {
        LogLastError(L"[!] GetRunningPIDList: Process32First failed.\r\n    %s. Error code = %ld.");
        return false;
    }
    do
    {
        if (_wcsicmp(entry.szExeFile, executableName.c_str()) == 0)
            pids.push_back(entry.th32ProcessID);
    } while (Process32NextW(snapshot.Get(), &entry));
    return true;
}

bool LookupAccountSidNames(PSID sid, std::wstring& accountName, std::wstring& domainName)
{
    wchar_t account[NameCharacters] = {};
    wchar_t domain[NameCharacters] = {};
    DWORD accountLength = NameCharacters;
    DWORD domainLength = NameCharacters;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, account, &accountLength, domain, &domainLength, &use))
    {
        LogLastError(L"[!] LookupAccountSid: LookupAccountSid failed.\r\n    %s. Error code = %ld.");
        return false;
    }
    accountName = account;
    domainName = domain;
    return true;
}

bool GetTokenUser(HANDLE token, std::wstring& accountName, std::wstring& domainName)
{
    alignas(TOKEN_USER) BYTE buffer[TokenUserBytes];
    DWORD returned = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &returned))
    {
        LogLastError(L"[!] GetTokenUser: GetTokenInformation( TokenUser ) failed.\r\n    %s. Error code = %ld.");
        return false;
    }
    // An owner that cannot be named leaves the names as they were.
    if (!LookupAccountSidNames(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, accountName, domainName))
        LogMessage(L"[!] GetTokenUser: LookupAccountSid failed");
    return true;
}

DWORD GetShellProcessPID(DWORD sessionId)
{
    std::vector<DWORD> pids;
    if (!ListShellProcesses(L"GetShellProcessPID", pids))
        return 0;
    for (DWORD pid : pids)
        if (pid != IdleProcessId && pid != SystemProcessId && IsShellOfSession(pid, sessionId))
            return pid;
    return 0;
}

bool GetShellProcessOwner(DWORD sessionId, DWORD& pid, std::wstring& accountName, std::wstring& domainName)
{
    std::vector<DWORD> pids;
    if (!ListShellProcesses(L"GetShellProcessOwner", pids))
        return false;
    for (DWORD candidate : pids)
    {
        if (candidate == IdleProcessId || candidate == SystemProcessId)
            continue;
        if (OwnerOfShell(candidate, sessionId, accountName, domainName))
        {
            pid = candidate;
            return true;
        }
    }
    return false;
}

HANDLE GetShellProcessToken(DWORD sessionId)
{
    DWORD pid = GetShellProcessPID(sessionId);
    if (pid == 0)
        return nullptr;
    CHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process)
        return nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process.Get(), TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY, &token))
        return nullptr;
    return token;
}
