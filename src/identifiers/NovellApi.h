#pragma once

// The calls of the Novell client for Windows that the agent makes, as it
// exports them from calwin32.dll, locwin32.dll and netwin32.dll. Texts are
// narrow, in the thread's ANSI code page; results are 0 on success and a
// negative client code otherwise.

#include <windows.h>

#include <cstdint>

using NWRESULT = int32_t;
using NWDSContextHandle = uint32_t;

// The client's locale record: only the country and code page are read.
struct NW_LCONV
{
    char Reserved[64];
    int32_t CodePage;
    int32_t CountryId;
    char Reserved2[64];
};

constexpr int32_t DCK_NAME_CONTEXT = 3;
constexpr int32_t DCK_TREE_NAME = 11;
constexpr uint32_t DSV_READ = 3;
constexpr uint32_t DS_ATTRIBUTE_VALUES = 1;
constexpr NWRESULT ERR_NO_SUCH_ENTRY = -601;
constexpr NWRESULT ERR_NO_SUCH_ATTRIBUTE = -603;
constexpr size_t NW_MAX_DN_BYTES = 272;
constexpr size_t NW_REQUEST_BUFFER = 4096;
constexpr size_t NW_REPLY_BUFFER = 8192;

// A client buffer; its layout is the client's own.
struct NW_BUF;

extern "C"
{
    using PFN_NWCallsInit = NWRESULT(WINAPI*)(void* reserved1, void* reserved2);
    using PFN_NWLlocaleconv = NW_LCONV*(WINAPI*)(NW_LCONV* lconv);
    using PFN_NWInitUnicodeTables = NWRESULT(WINAPI*)(int32_t countryId, int32_t codePage);
    using PFN_NWDSCreateContextHandle = NWRESULT(WINAPI*)(NWDSContextHandle* context);
    using PFN_NWDSFreeContext = NWRESULT(WINAPI*)(NWDSContextHandle context);
    using PFN_NWDSSetContext = NWRESULT(WINAPI*)(NWDSContextHandle context, int32_t key, const void* value);
    using PFN_NWDSWhoAmI = NWRESULT(WINAPI*)(NWDSContextHandle context, char* objectName);
    using PFN_NWDSAllocBuf = NWRESULT(WINAPI*)(size_t size, NW_BUF** buffer);
    using PFN_NWDSInitBuf = NWRESULT(WINAPI*)(NWDSContextHandle context, uint32_t operation, NW_BUF* buffer);
    using PFN_NWDSFreeBuf = NWRESULT(WINAPI*)(NW_BUF* buffer);
    using PFN_NWDSPutAttrName = NWRESULT(WINAPI*)(NWDSContextHandle context, NW_BUF* buffer, const char* attributeName);
    using PFN_NWDSRead = NWRESULT(WINAPI*)(NWDSContextHandle context, const char* objectName, uint32_t infoType,
                                           uint8_t allAttributes, NW_BUF* attributeNames, int32_t* iterationHandle,
                                           NW_BUF* objectInfo);
    using PFN_NWDSGetAttrCount = NWRESULT(WINAPI*)(NWDSContextHandle context, NW_BUF* buffer, uint32_t* count);
    using PFN_NWDSGetAttrName = NWRESULT(WINAPI*)(NWDSContextHandle context, NW_BUF* buffer, char* attributeName,
                                                  uint32_t* valueCount, uint32_t* syntaxId);
    using PFN_NWDSGetAttrVal = NWRESULT(WINAPI*)(NWDSContextHandle context, NW_BUF* buffer, uint32_t syntaxId,
                                                 void* value);
}
