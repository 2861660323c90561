// netwin32.dll: reading one attribute of one object, and taking the reply
// apart. A value starting with "!" cannot be read, so a test can script a
// value the client fails on.
#include "novell/AnsiText.h"
#include "novell/ClientBuffer.h"
#include "novell/ScriptedCall.h"
#include "shared/ScriptNames.h"

namespace
{
// What the directory calls a case-ignoring string.
constexpr uint32_t SyntaxCaseIgnoreString = 1;

NWRESULT ReadAttribute(const char* objectName, const NW_BUF& request, NW_BUF& reply)
{
    std::wstring object = FromAnsi(objectName);
    RecordSeen(ScriptNames::Read, object);
    reply.HasAttribute = false;
    reply.Values.clear();
    reply.NextValue = 0;
    SCRIPTED_ATTRIBUTE attribute = ReadScriptedAttribute(object, FromAnsi(request.AttributeName.c_str()));
    if (attribute.Status != 0)
        return attribute.Status;
    reply.AttributeName = request.AttributeName;
    reply.HasAttribute = true;
    for (const std::wstring& value : attribute.Values)
        reply.Values.push_back(ToAnsi(value));
    return 0;
}

NWRESULT NextValue(NW_BUF& reply, char* value)
{
    if (reply.NextValue >= reply.Values.size())
        return CallFailed;
    const std::string& text = reply.Values[reply.NextValue++];
    if (text.compare(0, 1, "!") == 0)
        return CallFailed;
    CopyToCaller(text, value);
    return 0;
}
} // namespace

extern "C" NWRESULT WINAPI NWDSRead(NWDSContextHandle, const char* objectName, uint32_t, uint8_t,
                                    NW_BUF* attributeNames, int32_t* iterationHandle, NW_BUF* objectInfo)
{
    return ScriptedCall(L"NWDSRead",
                        [=]
                        {
                            if (!objectName || !attributeNames || !objectInfo)
                                return CallFailed;
                            // One attribute always fits: there is never more to read.
                            if (iterationHandle)
                                *iterationHandle = -1;
                            return ReadAttribute(objectName, *attributeNames, *objectInfo);
                        });
}

extern "C" NWRESULT WINAPI NWDSGetAttrCount(NWDSContextHandle, NW_BUF* buffer, uint32_t* count)
{
    return ScriptedCall(L"NWDSGetAttrCount",
                        [=]
                        {
                            if (!buffer || !count)
                                return CallFailed;
                            *count = buffer->HasAttribute ? 1 : 0;
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSGetAttrName(NWDSContextHandle, NW_BUF* buffer, char* attributeName, uint32_t* valueCount,
                                           uint32_t* syntaxId)
{
    return ScriptedCall(L"NWDSGetAttrName",
                        [=]
                        {
                            if (!buffer || !buffer->HasAttribute || !attributeName || !valueCount || !syntaxId)
                                return CallFailed;
                            CopyToCaller(buffer->AttributeName, attributeName);
                            *valueCount = static_cast<uint32_t>(buffer->Values.size());
                            *syntaxId = SyntaxCaseIgnoreString;
                            buffer->NextValue = 0;
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSGetAttrVal(NWDSContextHandle, NW_BUF* buffer, uint32_t, void* value)
{
    return ScriptedCall(L"NWDSGetAttrVal",
                        [=]
                        {
                            if (!buffer || !value)
                                return CallFailed;
                            return NextValue(*buffer, static_cast<char*>(value));
                        });
}

NOVELL_UNUSED_CALL(NWDSGetAttrDef)
NOVELL_UNUSED_CALL(NWDSGetAttrValFlags)
NOVELL_UNUSED_CALL(NWDSGetAttrValModTime)
NOVELL_UNUSED_CALL(NWDSGetObjectCount)
NOVELL_UNUSED_CALL(NWDSGetObjectName)
NOVELL_UNUSED_CALL(NWDSList)
