#include "platform/WtsFunctions.h"

#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/WindowsVersion.h"

#include <atomic>

namespace
{
// Loaded once and kept for the life of the process.
HMODULE WtsModule = nullptr;
std::atomic<WTSQueryUserTokenFunction> QueryUserToken{nullptr};

void LogLoadFailure(const wchar_t* format)
{
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, format, CErrorText(error).Text(), (long)error);
}
} // namespace

bool LoadWTSFunctions()
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
    {
        LogLoadFailure(L"[!] LoadWTSFunctions(): Failed to get OS version.\r\n    %s. Error code = %ld.");
        return false;
    }
    if (IsWindows2000(version))
        return true;
    if (!WtsModule)
    {
        WtsModule = LoadLibraryW(L"WtsApi32.dll");
        if (!WtsModule)
        {
            LogLoadFailure(L"[!] LoadWTSFunctions(): LoadWTSFunctions(): Failed to load WtsApi32.dll module.\r\n"
                           L"    %s. Error code = %ld.");
            return false;
        }
    }
    if (QueryUserToken.load())
        return true;
    auto function = reinterpret_cast<WTSQueryUserTokenFunction>(
        reinterpret_cast<void*>(GetProcAddress(WtsModule, "WTSQueryUserToken")));
    if (!function)
    {
        LogLoadFailure(L"[!] LoadWTSFunctions(): Failed to load WTS function WTSQueryUserToken.\r\n"
                       L"    %s. Error code = %ld.");
        return false;
    }
    QueryUserToken.store(function);
    return true;
}

WTSQueryUserTokenFunction WTSQueryUserTokenPointer() { return QueryUserToken.load(); }
