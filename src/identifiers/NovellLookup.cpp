#include "identifiers/NovellLookup.h"

#include "common/StringConvert.h"
#include "common/ThreadDeadline.h"
#include "common/UniqueResource.h"
#include "identifiers/NdsName.h"
#include "identifiers/NovellClient.h"

#include <windows.h>

namespace
{
void FreeContext(NWDSContextHandle context) { NovellClient()->FreeContext(context); }
void FreeBuffer(NW_BUF* buffer) { NovellClient()->FreeBuf(buffer); }

using CNdsContext = CUniqueResource<NWDSContextHandle, FreeContext>;
using CNdsBuffer = CUniqueResource<NW_BUF*, FreeBuffer>;

// A name the client wrote into a buffer of NW_MAX_DN_BYTES, in lower case.
std::wstring ClientName(char (&buffer)[NW_MAX_DN_BYTES])
{
    buffer[NW_MAX_DN_BYTES - 1] = '\0';
    return LowerCase(AnsiToWide(buffer));
}

// The values of the reply's first attribute; a value the client cannot hand
// over is skipped, and one that names nothing is not a group.
bool ReadGroupValues(const NOVELL_CLIENT& client, NWDSContextHandle context, NW_BUF* reply,
                     std::vector<std::pair<std::wstring, std::wstring>>& groups)
{
    char attribute[NW_MAX_DN_BYTES] = {};
    uint32_t values = 0;
    uint32_t syntax = 0;
    if (client.GetAttrName(context, reply, attribute, &values, &syntax) != 0)
        return false;
    for (uint32_t i = 0; i < values; ++i)
    {
        char value[NW_MAX_DN_BYTES] = {};
        if (client.GetAttrVal(context, reply, syntax, value) != 0)
            continue;
        std::wstring dn = ClientName(value);
        std::wstring name = GetTypelessName(dn);
        if (!name.empty())
            groups.emplace_back(dn, name);
    }
    return true;
}

// The object's "Group Membership"; an object or attribute the directory does
// not have means no groups.
bool GetGroupMembership(const NOVELL_CLIENT& client, NWDSContextHandle context, const std::wstring& dn,
                        std::vector<std::pair<std::wstring, std::wstring>>& groups)
{
    CNdsBuffer request;
    CNdsBuffer reply;
    if (client.AllocBuf(NW_REQUEST_BUFFER, request.Put()) != 0 || !request ||
        client.InitBuf(context, DSV_READ, request.Get()) != 0 || client.AllocBuf(NW_REPLY_BUFFER, reply.Put()) != 0 ||
        !reply || client.PutAttrName(context, request.Get(), "Group Membership") != 0)
        return false;
    int32_t iteration = -1;
    NWRESULT read =
        client.Read(context, WideToAnsi(dn).c_str(), DS_ATTRIBUTE_VALUES, 0, request.Get(), &iteration, reply.Get());
    if (read != 0)
        return read == ERR_NO_SUCH_ENTRY || read == ERR_NO_SUCH_ATTRIBUTE;
    uint32_t count = 0;
    if (client.GetAttrCount(context, reply.Get(), &count) != 0)
        return false;
    return count == 0 || ReadGroupValues(client, context, reply.Get(), groups);
}
} // namespace

bool LookupNovellUser(const std::wstring& tree, DWORD mode, NOVELL_LOOKUP& result, DWORD& obtained)
{
    obtained = 0;
    const NOVELL_CLIENT* client = NovellClient();
    if (!client)
        return false;
    CNdsContext context;
    if (client->CreateContextHandle(context.Put()) != 0 || !context)
        return false;
    if (!tree.empty() && client->SetContext(context.Get(), DCK_TREE_NAME, WideToAnsi(tree).c_str()) != 0)
        return false;
    if (client->SetContext(context.Get(), DCK_NAME_CONTEXT, "") != 0)
        return false;
    // Groups are read for a name, which a fresh result does not have yet.
    if ((mode & NOVELL_LOOKUP_GROUPS) && result.DN.empty())
        mode |= NOVELL_LOOKUP_IDENTITY;

    if (mode & NOVELL_LOOKUP_IDENTITY)
    {
        char name[NW_MAX_DN_BYTES] = {};
        if (client->WhoAmI(context.Get(), name) != 0)
            return false;
        result.DN = ClientName(name);
        obtained |= NOVELL_LOOKUP_IDENTITY;
        SplitNdsName(result.DN, result.Name, result.OU);
    }
    // "." is the name of nobody: the client is not logged in to a tree.
    if (result.Name == L".")
        result = NOVELL_LOOKUP{};
    // The client's calls take no time-out; the groups are only asked for
    // while the identification has time left.
    else if ((mode & NOVELL_LOOKUP_GROUPS) && !CThreadDeadline::Passed() &&
             GetGroupMembership(*client, context.Get(), result.DN, result.Groups))
        obtained |= NOVELL_LOOKUP_GROUPS;
    return true;
}
