// Test program: the service's update thread, run as this program, so that a
// test can watch a check, the download and the swap of this program's own
// file without waiting for a service's first check.
//
//   UpdateRunner <first check ms>
//
// Logs to Kestrin.log beside the program and reads the Identification Server
// from the options key as the service does. Ends when the thread ends by
// itself (after an installed update) or when its standard input ends, which
// is how the test says it has seen the check through. Exit code: 1 when an
// update was installed and the service would be started again, else 0.
#include "common/Handle.h"
#include "diag/Log.h"
#include "diag/LogFile.h"
#include "update/Update.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace
{
// A service that is always running; the runner ends when the thread does.
class CRunnerHost final : public IUpdateHost
{
public:
    bool ServiceRunning() override { return true; }
    void StopService() override {}
};

DWORD WINAPI ReadUntilEnd(void* endEvent)
{
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
    }
    SetEvent(static_cast<HANDLE>(endEvent));
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD firstCheckMs = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 100;
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    SetCurrentDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str());
    TheLogFile().Open();

    CHandle inputEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandle reader(CreateThread(nullptr, 0, ReadUntilEnd, inputEnded.Get(), 0, nullptr));
    // A period far beyond any test: the first check is the only one.
    CRunnerHost host;
    CUpdate update(host, firstCheckMs, 3600000);
    update.Start();
    HANDLE waits[] = {update.Handle(), inputEnded.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        update.SignalStopEvent();
    update.Join(10000);
    return update.RestartPending() ? 1 : 0;
}
