#include "identifiers/ShellProcess.h"

#include "LogCapture.h"
#include "common/Handle.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <tlhelp32.h>

namespace
{
DWORD CurrentSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

} // namespace

TEST(ShellProcess, ShellNameIsReadAsStored)
{
    CShellValue shell;
    std::wstring name;
    shell.Set(REG_SZ, L"C:\\Windows\\explorer.exe");
    ASSERT_TRUE(GetShellProcessName(name));
    EXPECT_EQ(name, L"C:\\Windows\\explorer.exe");
    shell.Set(REG_EXPAND_SZ, L"%SystemRoot%\\explorer.exe");
    ASSERT_TRUE(GetShellProcessName(name));
    EXPECT_EQ(name, L"%SystemRoot%\\explorer.exe");

    CLogCapture log;
    DWORD number = 1;
    shell.SetRaw(REG_DWORD, &number, sizeof(number));
    EXPECT_FALSE(GetShellProcessName(name));
    const wchar_t list[] = L"explorer.exe\0\0";
    shell.SetRaw(REG_MULTI_SZ, list, sizeof(list));
    EXPECT_FALSE(GetShellProcessName(name));
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "[!] GetShellProcessName: Failed to query Winlogon\\shell registry value; 0xd");
    EXPECT_EQ(lines[2], lines[1]);
}

TEST(ShellProcess, FindsTheShellOfTheSessionByFileName)
{
    CExplorer explorer;
    ASSERT_NE(explorer.ProcessId(), 0u);
    CShellValue shell;
    shell.Set(REG_SZ, L"C:\\Windows\\Explorer.EXE");

    std::vector<DWORD> pids;
    ASSERT_TRUE(GetRunningPIDList(L"EXPLORER.exe", pids));
    EXPECT_NE(std::find(pids.begin(), pids.end(), explorer.ProcessId()), pids.end());

    DWORD session = CurrentSession();
    DWORD pid = GetShellProcessPID(session);
    EXPECT_EQ(pid, pids.front());
    EXPECT_EQ(GetShellProcessPID(session + 7), 0u);

    DWORD ownerPid = 0;
    std::wstring account = L"before", domain = L"before";
    ASSERT_TRUE(GetShellProcessOwner(session, ownerPid, account, domain));
    EXPECT_EQ(ownerPid, pid);
    wchar_t user[256] = {};
    DWORD size = 256;
    GetUserNameW(user, &size);
    EXPECT_EQ(_wcsicmp(account.c_str(), user), 0) << std::string(account.begin(), account.end());
    EXPECT_NE(domain, L"before");

    CHandle token(GetShellProcessToken(session));
    ASSERT_TRUE(token.IsValid());
    HANDLE duplicate = nullptr;
    EXPECT_TRUE(DuplicateTokenEx(token.Get(), TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityImpersonation,
                                 TokenImpersonation, &duplicate));
    CHandle duplicateHolder(duplicate);
}

TEST(ShellProcess, ShellValueWithArgumentsMatchesNothing)
{
    CExplorer explorer;
    CShellValue shell;
    shell.Set(REG_SZ, L"C:\\Windows\\explorer.exe /separate");
    EXPECT_EQ(GetShellProcessPID(CurrentSession()), 0u);
    DWORD pid = 0;
    std::wstring account, domain;
    EXPECT_FALSE(GetShellProcessOwner(CurrentSession(), pid, account, domain));
    EXPECT_EQ(GetShellProcessToken(CurrentSession()), nullptr);
}
