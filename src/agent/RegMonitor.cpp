#include "agent/RegMonitor.h"

#include "diag/ErrorText.h"
#include "diag/Log.h"

namespace
{
constexpr DWORD NotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

void LogWatchFailure(const wchar_t* format, const std::wstring& path, DWORD error)
{
    LogPrintf(LOG_ERROR, format, path.c_str(), CErrorText(error).Text(), (long)error);
}
} // namespace

CRegMonitor::CRegMonitor(IRegMonitor* callback)
    : CThread(L"CRegMonitor"), m_Callback(callback), m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CRegMonitor::~CRegMonitor() { StopAndWait(INFINITE); }

void CRegMonitor::AddWatch(const wchar_t* keyPath, HKEY rootKey, bool watchSubtree)
{
    RegKeyWatch watch;
    watch.KeyPath = keyPath;
    watch.RootKey = rootKey;
    watch.WatchSubtree = watchSubtree;
    m_Watches.push_back(std::move(watch));
}

bool CRegMonitor::StopAndWait(DWORD timeoutMs)
{
    if (State() == STATE_NEVER_STARTED)
        return true;
    RequestStop();
    SetEvent(m_StopEvent.Get());
    return Join(timeoutMs) != EXIT_TIMEOUT;
}

bool CRegMonitor::Prepare()
{
    if (m_WaitHandles.empty())
        m_WaitHandles.resize(m_Watches.size() + 1);
    DWORD armed = 0;
    for (auto& watch : m_Watches)
        if (armed < m_WaitHandles.size() - 1 && PrepareWatch(watch))
            m_WaitHandles[armed++] = watch.Event.Get();
    m_ArmedCount = armed;
    return true;
}

bool CRegMonitor::OpenWatchKey(RegKeyWatch& watch)
{
    if (watch.Key)
        return true;
    auto key = std::make_unique<CRegKey>();
    LONG result = key->Create(watch.KeyPath.c_str(), KEY_READ, watch.RootKey);
    if (result != ERROR_SUCCESS)
    {
        LogWatchFailure(L"[!] CRegMonitor::Prepare: Failed to open registry key %s.\r\n    %s. Error code = %ld.",
                        watch.KeyPath, static_cast<DWORD>(result));
        return false;
    }
    watch.Key = std::move(key);
    return true;
}

bool CRegMonitor::PrepareWatch(RegKeyWatch& watch)
{
    if (!OpenWatchKey(watch))
        return false;

    watch.Event.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!watch.Event.IsValid())
    {
        LogWatchFailure(
            L"[!] CRegMonitor::Prepare: Failed to create event for registry key %s.\r\n    %s. Error code = %ld.",
            watch.KeyPath, GetLastError());
        watch.Key.reset();
        return false;
    }

    LONG result = RegNotifyChangeKeyValue(watch.Key->Get(), watch.WatchSubtree, NotifyFilter, watch.Event.Get(), TRUE);
    if (result == ERROR_KEY_DELETED)
    {
        // Deleted under the open handle, which can never see a change again:
        // the key is made anew and watched in its place.
        LogWatchFailure(L"[!] CRegMonitor::Prepare: Registry key %s was deleted; watching it anew.\r\n    %s. Error "
                        L"code = %ld.",
                        watch.KeyPath, static_cast<DWORD>(result));
        watch.Key.reset();
        if (!OpenWatchKey(watch))
            return false;
        result = RegNotifyChangeKeyValue(watch.Key->Get(), watch.WatchSubtree, NotifyFilter, watch.Event.Get(), TRUE);
    }
    if (result != ERROR_SUCCESS)
    {
        LogPrintf(LOG_ERROR, L"[!] CRegMonitor::Prepare: RegNotifyChangeKeyValue failed.\r\n    %s. Error code = %ld.",
                  CErrorText(static_cast<DWORD>(result)).Text(), (long)result);
        watch.Event.Close();
        watch.Key.reset();
        return false;
    }
    return true;
}

DWORD CRegMonitor::ThreadProc()
{
    LogMessage(L"CRegMonitor: started");
    DWORD timeout = INFINITE;
    while (!StopRequested())
    {
        if (!Prepare())
        {
            LogMessage(L"[!] CRegMonitor: Failed to prepare keys");
            return 1;
        }
        if (m_ArmedCount == 0)
        {
            LogMessage(L"[!] CRegMonitor: No handles for waiting");
            return 1;
        }
        // The stop event rides behind the armed events, so that a stop never
        // has to wait for a registry change or the end of a settle time.
        m_WaitHandles[m_ArmedCount] = m_StopEvent.Get();
        DWORD result = WaitForMultipleObjects(m_ArmedCount + 1, m_WaitHandles.data(), FALSE, timeout);
        if (StopRequested())
            break;
        if (result < WAIT_OBJECT_0 + m_ArmedCount)
            timeout = SettleTimeMs;
        else if (result == WAIT_TIMEOUT)
        {
            if (m_Callback)
                m_Callback->OnRegistryEvent();
            timeout = INFINITE;
        }
    }
    LogMessage(L"CRegMonitor: stopped");
    return 0;
}
