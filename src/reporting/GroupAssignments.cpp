#include "reporting/GroupAssignments.h"

#include "common/StringConvert.h"
#include "common/ThreadDeadline.h"
#include "config/Options.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "identity/DistinguishedName.h"
#include "platform/HttpClient.h"
#include "platform/HttpSession.h"

#include <algorithm>

namespace
{
constexpr wchar_t AssignmentsPath[] = L"/api/agents/group_assignments";

// Backslashes arrive JSON-escaped; a DN's own escapes ("Smith\, John") are
// honoured once that is undone, so that the name matches the group's.
std::wstring UndoEscapedBackslashes(const std::wstring& text)
{
    std::wstring result;
    for (size_t i = 0; i < text.size(); ++i)
    {
        result += text[i];
        if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'\\')
            ++i;
    }
    return result;
}

std::wstring AssignedName(const std::wstring& text)
{
    if (text.find(L"cn=") != std::wstring::npos || text.find(L"CN=") != std::wstring::npos)
    {
        std::vector<std::wstring> components = SplitDN(UndoEscapedBackslashes(text));
        // A DN without a comma names nothing.
        if (components.size() < 2 || components.front().size() < 3)
            return std::wstring();
        return UnescapeDNValue(components.front().substr(3));
    }
    size_t backslash = text.find(L'\\');
    if (backslash != std::wstring::npos)
        return backslash + 2 <= text.size() ? text.substr(backslash + 2) : std::wstring();
    // Neither form: taken as a plain group name.
    return TrimWhitespace(text);
}

bool PruningDisabled()
{
    const COptions* options = TheOptions();
    return !options || options->Values().DisableUserGroupPruning;
}

// Each step of the request, and the whole of it, within the time the
// identification has left (or this, outside one): a server that answers a
// byte at a time would otherwise hold the logon it serves.
constexpr DWORD AssignmentsTimeoutMs = 5000;
constexpr DWORD AssignmentsDeadlineMs = 10000;

bool DownloadAssignments(HTTP_CONNECTION& connection, std::wstring& body)
{
    HTTP_REQUEST request(connection.Handle.Get());
    DWORD remaining = CThreadDeadline::RemainingMs(AssignmentsDeadlineMs);
    if (remaining == 0)
    {
        LogMessage(L"[!] CUpdate: Unable to download user group assignments,\r\n    the identification's time has "
                   L"run out.");
        return false;
    }
    request.StepTimeoutMs = std::min(remaining, AssignmentsTimeoutMs);
    request.Deadline = GetTickCount64() + remaining;
    if (!request.Get(AssignmentsPath))
    {
        CErrorText text;
        if (request.LastError != 0)
            LogPrintf(LOG_ERROR,
                      L"[!] CUpdate: Unable to download user group assignments \"%s%s\",\r\n    %s. Error code = %ld.",
                      connection.Server.c_str(), AssignmentsPath, HttpErrorText(request.LastError, text),
                      (long)request.LastError);
        else
            LogPrintf(LOG_ERROR,
                      L"[!] CUpdate: Unable to download user group assignments \"%s%s\",\r\n    HTTP status code = %lu",
                      connection.Server.c_str(), AssignmentsPath, (unsigned long)request.StatusCode);
        return false;
    }
    if (!request.DownloadToBuffer())
    {
        CErrorText text;
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to download user group assignments,\r\n    %s. Error code = %ld.",
                  HttpErrorText(request.LastError, text), (long)request.LastError);
        return false;
    }
    body = AnsiToWide(reinterpret_cast<const char*>(request.ResponseBuffer.get()));
    return true;
}
} // namespace

std::vector<std::wstring> ParseGroupAssignments(const std::wstring& body)
{
    std::vector<std::wstring> assigned;
    size_t start = 0;
    for (;;)
    {
        size_t quote = body.find(L'"', start);
        std::wstring piece = body.substr(start, quote == std::wstring::npos ? std::wstring::npos : quote - start);
        if (!piece.empty() && piece != L"[" && piece != L"]" && piece != L",")
            assigned.push_back(AssignedName(piece));
        if (quote == std::wstring::npos)
            return assigned;
        start = quote + 1;
    }
}

void PruneToAssignments(std::vector<USER_GROUP>& groups, const std::vector<std::wstring>& assigned)
{
    std::vector<std::wstring> names;
    for (const auto& name : assigned)
        names.push_back(LowerCase(name));
    groups.erase(std::remove_if(groups.begin(), groups.end(),
                                [&](const USER_GROUP& group) {
                                    return std::find(names.begin(), names.end(), LowerCase(group.Name)) == names.end();
                                }),
                 groups.end());
}

bool GetGroupAssignments(const std::wstring& server, std::vector<USER_GROUP>& groups)
{
    if (PruningDisabled())
        return true;
    HTTP_CONNECTION connection(server);
    if (!connection.Connect())
        return false;
    std::wstring body;
    if (!DownloadAssignments(connection, body))
        return false;
    LogPrintf(LOG_IDENTITY, L"[*] CIdentity::GetGroupAssignments; Assignments %s", body.c_str());
    std::vector<std::wstring> assigned = ParseGroupAssignments(body);
    LogPrintf(LOG_IDENTITY, L"[*] CIdentity::GetGroupAssignments; Ident.User Size %d", (int)groups.size());
    PruneToAssignments(groups, assigned);
    LogPrintf(LOG_IDENTITY, L"[*] CIdentity::GetGroupAssignments; Ident.User Size After Pruning %d",
              (int)groups.size());
    return true;
}
