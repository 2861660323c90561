#include "identifiers/NovellClient.h"

#include "common/Handle.h"
#include "common/UniqueResource.h"

#include <windows.h>

#include <atomic>
#include <initializer_list>
#include <map>
#include <vector>

namespace
{
struct LIBRARY_FUNCTIONS
{
    const wchar_t* Library;
    std::initializer_list<const char*> Functions;
};

// Every function of the client the agent knows of: a client that lacks any of
// them is not one the agent can work with.
const LIBRARY_FUNCTIONS ClientFunctions[] = {
    {L"calwin32.dll",
     {"NWCallsInit", "NWGetObjectNamesBeginA", "NWGetObjectNamesNextA", "NWGetObjectNamesEndA",
      "NWGetObjectNamesBeginW", "NWGetObjectNamesNextW", "NWGetObjectNamesEndW"}},
    {L"locwin32.dll", {"NWInitUnicodeTables", "NWFreeUnicodeTables", "NWLlocaleconv"}},
    {L"netwin32.dll",
     {"NWDSLogin",
      "NWDSLogout",
      "NWDSVerifyObjectPassword",
      "NWDSReturnBlockOfAvailableTrees",
      "NWDSOpenConnToNDSServer",
      "NWDSAllocBuf",
      "NWDSInitBuf",
      "NWDSFreeBuf",
      "NWDSCreateContextHandle",
      "NWDSFreeContext",
      "NWDSGetContext",
      "NWDSSetContext",
      "NWDSWhoAmI",
      "NWDSCanDSAuthenticate",
      "NWDSGetAttrCount",
      "NWDSGetAttrDef",
      "NWDSGetAttrName",
      "NWDSGetAttrVal",
      "NWDSGetAttrValFlags",
      "NWDSGetAttrValModTime",
      "NWDSPutAttrName",
      "NWDSPutAttrNameAndVal",
      "NWDSPutAttrVal",
      "NWDSGetObjectCount",
      "NWDSGetObjectName",
      "NWDSRead",
      "NWDSList"}},
};

NOVELL_CLIENT LoadedClient{};
std::atomic<const NOVELL_CLIENT*> PublishedClient{nullptr};

template <typename T> void Take(const std::map<std::string, FARPROC>& found, const char* name, T& function)
{
    function = reinterpret_cast<T>(reinterpret_cast<void*>(found.at(name)));
}

NOVELL_CLIENT ClientFrom(const std::map<std::string, FARPROC>& found)
{
    NOVELL_CLIENT client{};
    Take(found, "NWCallsInit", client.CallsInit);
    Take(found, "NWLlocaleconv", client.Llocaleconv);
    Take(found, "NWInitUnicodeTables", client.InitUnicodeTables);
    Take(found, "NWDSCreateContextHandle", client.CreateContextHandle);
    Take(found, "NWDSFreeContext", client.FreeContext);
    Take(found, "NWDSSetContext", client.SetContext);
    Take(found, "NWDSWhoAmI", client.WhoAmI);
    Take(found, "NWDSAllocBuf", client.AllocBuf);
    Take(found, "NWDSInitBuf", client.InitBuf);
    Take(found, "NWDSFreeBuf", client.FreeBuf);
    Take(found, "NWDSPutAttrName", client.PutAttrName);
    Take(found, "NWDSRead", client.Read);
    Take(found, "NWDSGetAttrCount", client.GetAttrCount);
    Take(found, "NWDSGetAttrName", client.GetAttrName);
    Take(found, "NWDSGetAttrVal", client.GetAttrVal);
    return client;
}

std::wstring SystemDirectory()
{
    wchar_t directory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(directory, length);
}
} // namespace

bool IsNovellClientInstalled()
{
    std::wstring systemDirectory = SystemDirectory();
    if (systemDirectory.empty())
        return false;
    for (const auto& library : ClientFunctions)
    {
        std::wstring path = systemDirectory + L"\\" + library.Library;
        CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        // Only a file that is not there counts as missing; one we may not
        // open is still installed.
        if (!file.IsValid() && GetLastError() == ERROR_FILE_NOT_FOUND)
            return false;
    }
    return true;
}

bool LoadNovellFunctions() { return LoadNovellFunctionsFrom(SystemDirectory()); }

bool LoadNovellFunctionsFrom(const std::wstring& directory)
{
    if (directory.empty())
        return false;
    std::wstring folder = directory;
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    folder += L"\\";

    std::vector<CModule> modules;
    std::map<std::string, FARPROC> found;
    for (const auto& library : ClientFunctions)
    {
        CModule module(LoadLibraryW((folder + library.Library).c_str()));
        if (!module)
            return false;
        for (const char* name : library.Functions)
        {
            FARPROC function = GetProcAddress(module.Get(), name);
            if (!function)
                return false;
            found[name] = function;
        }
        modules.push_back(std::move(module));
    }
    if (PublishedClient.load())
        return true;
    LoadedClient = ClientFrom(found);
    PublishedClient.store(&LoadedClient);
    // The functions are used until the process ends: the libraries stay.
    for (auto& module : modules)
        static_cast<void>(module.Take());
    return true;
}

const NOVELL_CLIENT* NovellClient() { return PublishedClient.load(); }

bool InitializeNovellClient()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    bool windows2000 = GetVersionExW(&version) && version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
    return InitializeNovellClient(windows2000, NovellInitRetryMs);
}

bool InitializeNovellClient(bool windows2000, DWORD retryMs)
{
    const NOVELL_CLIENT* client = NovellClient();
    if (!client)
        return false;
    for (int calls = 1; client->CallsInit(nullptr, nullptr) != 0; ++calls)
    {
        if (!windows2000 || calls >= NovellInitCalls)
            return false;
        Sleep(retryMs);
    }
    NW_LCONV locale{};
    client->Llocaleconv(&locale);
    return client->InitUnicodeTables(locale.CountryId, locale.CodePage) == 0;
}
