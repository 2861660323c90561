// netwin32.dll: the client's buffers, which the stand-in lays out as it likes
// (ClientBuffer.h). Only read requests are prepared.
#include "novell/ClientBuffer.h"
#include "novell/ScriptedCall.h"

extern "C" NWRESULT WINAPI NWDSAllocBuf(size_t size, NW_BUF** buffer)
{
    return ScriptedCall(L"NWDSAllocBuf",
                        [=]
                        {
                            if (!buffer)
                                return CallFailed;
                            *buffer = new NW_BUF;
                            (*buffer)->Size = size;
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSFreeBuf(NW_BUF* buffer)
{
    return ScriptedCall(L"NWDSFreeBuf",
                        [buffer]
                        {
                            if (!buffer)
                                return CallFailed;
                            delete buffer;
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSInitBuf(NWDSContextHandle, uint32_t operation, NW_BUF* buffer)
{
    return ScriptedCall(L"NWDSInitBuf",
                        [=]
                        {
                            if (!buffer || operation != DSV_READ)
                                return CallFailed;
                            size_t size = buffer->Size;
                            *buffer = NW_BUF{};
                            buffer->Size = size;
                            buffer->Operation = operation;
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSPutAttrName(NWDSContextHandle, NW_BUF* buffer, const char* attributeName)
{
    return ScriptedCall(L"NWDSPutAttrName",
                        [=]
                        {
                            if (!buffer || !attributeName)
                                return CallFailed;
                            buffer->AttributeName = attributeName;
                            return 0;
                        });
}

NOVELL_UNUSED_CALL(NWDSPutAttrNameAndVal)
NOVELL_UNUSED_CALL(NWDSPutAttrVal)
