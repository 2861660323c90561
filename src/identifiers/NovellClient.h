#pragma once

#include "identifiers/NovellApi.h"

#include <string>

// The calls of the Novell client the agent makes, once the client's libraries
// are loaded.
struct NOVELL_CLIENT
{
    PFN_NWCallsInit CallsInit;
    PFN_NWLlocaleconv Llocaleconv;
    PFN_NWInitUnicodeTables InitUnicodeTables;
    PFN_NWDSCreateContextHandle CreateContextHandle;
    PFN_NWDSFreeContext FreeContext;
    PFN_NWDSSetContext SetContext;
    PFN_NWDSWhoAmI WhoAmI;
    PFN_NWDSAllocBuf AllocBuf;
    PFN_NWDSInitBuf InitBuf;
    PFN_NWDSFreeBuf FreeBuf;
    PFN_NWDSPutAttrName PutAttrName;
    PFN_NWDSRead Read;
    PFN_NWDSGetAttrCount GetAttrCount;
    PFN_NWDSGetAttrName GetAttrName;
    PFN_NWDSGetAttrVal GetAttrVal;
};

// How long a Windows 2000 start waits between tries of a client that is still
// starting, and how often it tries.
constexpr DWORD NovellInitRetryMs = 100;
constexpr int NovellInitCalls = 200;

// The Novell client for Windows is installed when its three libraries are in
// the system directory.
bool IsNovellClientInstalled();

// Loads the client's three libraries from the system directory and looks up
// every function the agent knows of, all or nothing. Once loaded, the client
// stays loaded for the life of the process.
bool LoadNovellFunctions();
bool LoadNovellFunctionsFrom(const std::wstring& directory);

// The loaded client, or null before LoadNovellFunctions succeeded.
const NOVELL_CLIENT* NovellClient();

// Readies the client and its text tables. A client that is still starting
// (Windows 2000 starts the agent early) is tried again every retryMs.
bool InitializeNovellClient();
bool InitializeNovellClient(bool windows2000, DWORD retryMs);
