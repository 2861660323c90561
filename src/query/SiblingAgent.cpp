#include "query/SiblingAgent.h"

#include "platform/FileVersionInfo.h"
#include "platform/RegKey.h"
#include "platform/ServiceHandle.h"

#include <windows.h>

#include <algorithm>

namespace
{
constexpr wchar_t SiblingServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\DornSecurityAgentService";
constexpr size_t MaxImagePath = MAX_PATH;

bool ReadImagePath(std::wstring& path)
{
    CRegKey key;
    if (key.Open(SiblingServiceKey, KEY_READ) != ERROR_SUCCESS)
        return false;
    return key.ReadString(L"ImagePath", path) == ERROR_SUCCESS && path.size() < MaxImagePath;
}

bool SiblingServiceRunning()
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    CServiceHandle service(OpenServiceW(manager.Get(), SIBLING_AGENT_SERVICE, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}
} // namespace

std::wstring SiblingImageFile(std::wstring imagePath)
{
    imagePath.erase(std::remove(imagePath.begin(), imagePath.end(), L'"'), imagePath.end());
    while (!imagePath.empty() && imagePath.back() == L'\\')
        imagePath.pop_back();
    return imagePath;
}

bool ReadSiblingAgentVersion(std::wstring& version)
{
    std::wstring imagePath;
    if (!ReadImagePath(imagePath))
        return false;
    std::wstring file = SiblingImageFile(imagePath);
    if (!SiblingServiceRunning())
        return false;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    CFileVersionInfo info;
    if (!info.Read(file.c_str(), size))
        return false;
    version = info.FileVersion;
    return true;
}
