#include "common/Format.h"
#include "common/StringSplit.h"
#include "common/ThreadDeadline.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/ComputerIdentity.h"
#include "platform/FileVersionInfo.h"
#include "reporting/GroupAssignments.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"

#include <windows.h>

struct CIdentity::REPORT_LINES
{
    const wchar_t* Flow;
    // Context of the retry line.
    const wchar_t* RetryContext;
    // Context of the final line; null for the "...; text (no retry)" form.
    const wchar_t* FinalContext;
    bool ResetsHeartbeat;
};

namespace
{
std::wstring JoinGroups(const std::vector<USER_GROUP>& groups, bool withDNs)
{
    std::wstring text;
    for (const auto& group : groups)
    {
        if (!text.empty())
            text += L", ";
        text += group.Name;
        if (withDNs)
            text += L" / " + group.DN;
    }
    return text;
}

AGENT_VERSION ReadAgentVersion()
{
    std::wstring program = ProgramFilePath();
    if (program.empty())
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR,
                  L"[!] CIdentity::IdentifyStartup: Failed to get module filename.\r\n    %s. Error code = %ld.",
                  CErrorText(error).Text(), (long)error);
        return AgentVersionFrom(std::wstring());
    }
    DWORD handle = 0;
    CFileVersionInfo info;
    if (!info.Read(program.c_str(), GetFileVersionInfoSizeW(program.c_str(), &handle)))
    {
        DWORD error = GetLastError();
        LogPrintf(
            LOG_ERROR,
            L"[!] CIdentity::IdentifyStartup: Failed to get file version information.\r\n    %s. Error code = %ld.",
            CErrorText(error).Text(), (long)error);
    }
    if (SplitString(info.FileVersion, L'.').size() < 3 || info.FileVersion.empty())
        LogPrintf(LOG_ERROR, L"[!] CIdentity::IdentifyStartup: Unrecognizable file version %s",
                  info.FileVersion.c_str());
    return AgentVersionFrom(info.FileVersion);
}

void LogComputer(const wchar_t* heading, const COMPUTER_IDENTITY& computer)
{
    LogPrintf(LOG_IDENTITY,
              L"[IDENT] %s:\r\n    OS Version:    %lu.%lu.%lu\r\n    Computer Name: %s\\%s\r\n    Computer DN:   %s",
              heading, (unsigned long)computer.OSMajor, (unsigned long)computer.OSMinor,
              (unsigned long)computer.OSBuild, computer.Domain.c_str(), computer.Name.c_str(), computer.DN.c_str());
}

void LogGroupsOf(const wchar_t* flow, const USER_IDENTITY& user)
{
    for (const auto& group : user.Groups)
        LogPrintf(LOG_INFO, L"[*] CIdentity::%s; Ident.User Domain %s  Group %s", flow, group.DN.c_str(),
                  group.Name.c_str());
}

const CIdentity::REPORT_LINES StartupReport{
    L"IdentifyStartup", L"[!] CIdentity::IdentifyStartup: Failed to report to ident server (retry).", nullptr, true};
const CIdentity::REPORT_LINES ChangeReport{
    L"TriggerUserChange", L"[!] CIdentity::TriggerUserChange: Failed to report to ident server (retry).", nullptr,
    true};
const CIdentity::REPORT_LINES LogonReport{
    L"OnIdentifyLogonUser", L"[!] CIdentity::OnIdentifyLogonUser: Failed to report to ident server (retry).", nullptr,
    true};
} // namespace

const CIdentity::REPORT_LINES CIdentity::LogoffReportLines{
    L"HandleLogoff", L"[!] CIdentity::HandleLogoff: Failed to report to ident server (retry).",
    L"[!] CIdentity::HandleLogoff: Failed to report to ident server (no retry).", true};
const CIdentity::REPORT_LINES CIdentity::HeartbeatReportLines{
    L"SendHeartbeat", L"[!] CIdentity::SendHeartbeat: Error (retry).",
    L"[!] CIdentity::SendHeartbeat: Error (no retry).", false};

std::wstring CIdentity::DisplayName(const USER_IDENTITY& user) const
{
    return m_UserType == USER_TYPE_ACTIVE_DIRECTORY ? user.Domain + L"\\" + user.Name : user.Name;
}

bool CIdentity::ReportStep(const REPORT_LINES& lines, uint8_t reportType, DWORD retryValue, const IDENTITY& snapshot,
                           bool forceStartupFlags)
{
    if (!IdentServerLookup())
    {
        LogPrintf(LOG_ERROR, L"[!] CIdentity::%s: Failed to obtain the Identification Server IP address; retrying.",
                  lines.Flow);
        QueueUserRetry(retryValue, RETRY_ITEM::KIND_RESOLVE, reportType);
        return false;
    }
    if (!HasServerAddress())
        return true;

    IDENTITY sent = snapshot;
    if (forceStartupFlags)
        ForceStartupFlags(sent, retryValue);
    try
    {
        Report(reportType, sent.Agent, sent.Computer, sent.User);
        LogPrintf(LOG_IDENTITY, L"[IDENT] %s: Successfully reported user information to Identification Server (%s)",
                  lines.Flow, ServerName().c_str());
        if (lines.ResetsHeartbeat)
            RestartHeartbeatPeriod();
        return true;
    }
    catch (const CException& exception)
    {
        if (IsRetryableReportError(exception.Code))
        {
            LogException(lines.RetryContext, exception);
            QueueUserRetry(retryValue, RETRY_ITEM::KIND_REPORT, reportType);
            return false;
        }
        if (lines.FinalContext)
            LogException(lines.FinalContext, exception);
        else
            LogPrintf(LOG_ERROR, L"[!] CIdentity::%s: Failed to report to ident server; %s (no retry)", lines.Flow,
                      exception.Message.c_str());
        return true;
    }
}

// A startup report always carries the agent and computer blocks, and the user
// blocks whenever a user session was found.
void CIdentity::ForceStartupFlags(IDENTITY& sent, DWORD sessionId)
{
    sent.Agent.Flags = AGENT_VERSION_VALID;
    sent.Computer.Flags = COMPUTER_OS_VALID | COMPUTER_NAME_VALID | COMPUTER_DN_VALID;
    if (sessionId != NO_USER_SESSION)
        sent.User.Flags = USER_NAME_VALID | USER_DN_VALID | USER_GROUPS_VALID;
}

bool CIdentity::GetGroupAssignments(std::vector<USER_GROUP>& groups)
{
    return ::GetGroupAssignments(ServerName(), groups);
}

DWORD CIdentity::IdentifyStartup()
{
    CThreadDeadline budget(IdentificationBudgetMs);
    AGENT_VERSION agent = ReadAgentVersion();
    COMPUTER_IDENTITY computer;
    try
    {
        GetComputerIdentity(computer);
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CIdentity::IdentifyStartup: Failed to get computer identity.", exception);
    }
    UpdateMachineUUID(computer);
    LogComputer(L"Startup computer identity", computer);

    IDENTITY snapshot;
    GetIdentity(snapshot, &agent, &computer);
    USER_IDENTITY user = snapshot.User;
    DWORD session = IdentifyStartupUser(user);
    GetGroupAssignments(user.Groups);
    IDENTITY stored;
    GetIdentity(stored, nullptr, nullptr, &user, &session);
    RegLogIdent(&snapshot.Computer, &user);

    IDENTITY sent = snapshot;
    sent.User = user;
    ReportStep(StartupReport, REPORT_STARTUP, session, sent, true);
    return 0;
}

DWORD CIdentity::IdentifyStartupUser(USER_IDENTITY& user)
{
    DWORD session = NO_USER_SESSION;
    DWORD result = 0;
    try
    {
        result = IdentifyCurrentUser(session, user, false);
    }
    catch (const CException& exception)
    {
        LogPrintf(LOG_ERROR, L"[!] CIdentity::IdentifyStartup: Failed to get user identity; %s",
                  exception.Message.c_str());
        result = SESSION_FAILED;
    }
    if (result == SESSION_OK)
    {
        LogPrintf(LOG_IDENTITY,
                  L"[IDENT] Startup user identity (0x%lx):\r\n    User Name:   %s\r\n    User DN:     %s\r\n    User "
                  L"Groups: %s\r\n",
                  (unsigned long)user.Flags, DisplayName(user).c_str(), user.DN.c_str(),
                  JoinGroups(user.Groups, true).c_str());
        return session;
    }
    if (result == SESSION_NO_USER)
        LogMessage(L"[IDENT] No user currently logged in.");
    else
        LogPrintf(LOG_ERROR, L"[!] CIdentity::IdentifyStartup: Failed to get user identity (0x%lx)",
                  (unsigned long)result);
    return NO_USER_SESSION;
}

DWORD CIdentity::TriggerUserChange(bool refreshComputer)
{
    CThreadDeadline budget(IdentificationBudgetMs);
    COMPUTER_IDENTITY computer;
    if (refreshComputer)
    {
        GetComputerIdentity(computer);
        UpdateMachineUUID(computer);
        LogComputer(L"Computer identity", computer);
    }
    USER_IDENTITY user;
    DWORD session = IdentifyChangedUser(user);
    GetGroupAssignments(user.Groups);
    IDENTITY snapshot;
    GetIdentity(snapshot, nullptr, refreshComputer ? &computer : nullptr, &user, &session);
    LogGroupsOf(L"TriggerUserChange", snapshot.User);
    RegLogIdent(&snapshot.Computer, &snapshot.User);
    ReportStep(ChangeReport, user.Name.empty() ? REPORT_NO_USER : REPORT_USER, NO_USER_SESSION, snapshot, false);
    return 0;
}

DWORD CIdentity::IdentifyChangedUser(USER_IDENTITY& user)
{
    DWORD session = NO_USER_SESSION;
    DWORD result = 0;
    try
    {
        result = IdentifyCurrentUser(session, user, false);
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CIdentity::TriggerUserChange: Failed to get user identity.", exception);
        LogMessage(L"[!] CIdentity::TriggerUserChange: Failed to get user identity");
        return NO_USER_SESSION;
    }
    if (result == SESSION_OK)
    {
        LogPrintf(LOG_IDENTITY,
                  L"[IDENT] Changed user identity (0x%lx):\r\n    User Name:   %s\r\n    User DN:     %s\r\n    User "
                  L"Groups: %s\r\n",
                  (unsigned long)user.Flags, DisplayName(user).c_str(), user.DN.c_str(),
                  JoinGroups(user.Groups, true).c_str());
        return session;
    }
    if (result == SESSION_NO_USER)
        LogMessage(L"[IDENT] No user currently logged in.");
    else
        LogMessage(L"[!] CIdentity::TriggerUserChange: Failed to get user identity");
    return NO_USER_SESSION;
}

void CIdentity::OnIdentifyLogonUser(DWORD sessionId, const USER_IDENTITY& user)
{
    IDENTITY snapshot;
    GetIdentity(snapshot, nullptr, nullptr, &user, &sessionId);
    GetGroupAssignments(snapshot.User.Groups);
    GetIdentity(snapshot, nullptr, nullptr, &snapshot.User, &sessionId);
    LogGroupsOf(L"OnIdentifyLogonUser", snapshot.User);
    LogPrintf(LOG_IDENTITY,
              L"[IDENT] Logon user identity:\r\n    User Name:   %s\r\n    User DN:     %s\r\n    User Groups: %s\r\n",
              DisplayName(user).c_str(), user.DN.c_str(), JoinGroups(user.Groups, false).c_str());
    RegLogIdent(&snapshot.Computer, &snapshot.User);
    ReportStep(LogonReport, REPORT_USER, sessionId, snapshot, false);
}
