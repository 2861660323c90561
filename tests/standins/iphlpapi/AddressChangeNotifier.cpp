#include "iphlpapi/AddressChangeNotifier.h"

#include "shared/ScriptNames.h"

#include <algorithm>
#include <new>

namespace
{
// The NTSTATUS values an OVERLAPPED carries (ntstatus.h clashes with windows.h).
constexpr LONG StatusSuccess = 0;
constexpr LONG StatusCancelled = static_cast<LONG>(0xC0000120);

// The watcher re-checks this often whether the watched key still exists:
// Wine signals no watch when the watched key itself is deleted.
constexpr DWORD RecheckMilliseconds = 1000;

CAddressChangeNotifier Notifier;

// The low bit of hEvent asks that no completion packet be queued; it is not
// part of the handle.
HANDLE EventOf(const OVERLAPPED& overlapped)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped.hEvent) & ~ULONG_PTR{1});
}

// As the I/O manager completes a request: status first, then the event.
void Complete(OVERLAPPED& overlapped, LONG status)
{
    overlapped.InternalHigh = 0;
    overlapped.Internal = static_cast<ULONG>(status);
    if (HANDLE event = EventOf(overlapped))
        SetEvent(event);
}

SCRIPT_VALUE ReadChange() { return CScriptKey(ScriptNames::IpHelperKey).ReadValue(ScriptNames::Change); }
} // namespace

CAddressChangeNotifier& AddressChangeNotifier() { return Notifier; }

DWORD CAddressChangeNotifier::Request(OVERLAPPED* overlapped, HANDLE* handle)
{
    if (DWORD error = StartWatcher())
        return error;
    CExclusiveLock lock(m_Lock);
    if (std::find(m_Pending.begin(), m_Pending.end(), overlapped) != m_Pending.end())
        return ERROR_INVALID_PARAMETER; // a duplicate request fails
    try
    {
        m_Pending.push_back(overlapped);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    if (HANDLE event = EventOf(*overlapped))
        ResetEvent(event);
    ResetEvent(m_RequestHandle.Get());
    *handle = m_RequestHandle.Get();
    return ERROR_IO_PENDING;
}

DWORD CAddressChangeNotifier::WaitForChange()
{
    CHandleHolder event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return GetLastError();
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    HANDLE handle = nullptr;
    DWORD result = Request(&overlapped, &handle);
    if (result != ERROR_IO_PENDING)
        return result;
    WaitForSingleObject(event.Get(), INFINITE);
    DWORD bytes = 0;
    return GetOverlappedResult(handle, &overlapped, &bytes, FALSE) ? NO_ERROR : GetLastError();
}

bool CAddressChangeNotifier::Cancel(OVERLAPPED* overlapped)
{
    CExclusiveLock lock(m_Lock);
    auto pending = std::find(m_Pending.begin(), m_Pending.end(), overlapped);
    if (pending == m_Pending.end())
        return false;
    m_Pending.erase(pending);
    Complete(*overlapped, StatusCancelled);
    SetEvent(m_RequestHandle.Get());
    return true;
}

DWORD CAddressChangeNotifier::StartWatcher()
{
    InitOnceExecuteOnce(&m_Once, StartOnce, this, nullptr);
    return m_StartError;
}

BOOL CALLBACK CAddressChangeNotifier::StartOnce(PINIT_ONCE, PVOID self, PVOID*)
{
    auto* notifier = static_cast<CAddressChangeNotifier*>(self);
    notifier->m_StartError = notifier->StartWatcherThread();
    return TRUE;
}

DWORD CAddressChangeNotifier::StartWatcherThread()
{
    // The watcher runs until the process ends, so the DLL's code must stay
    // loaded: the module is pinned. The thread is never joined; the end of
    // the process ends it before the DLL is detached.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(this), &module))
        return GetLastError();
    for (CHandleHolder* event : {&m_RequestHandle, &m_KeyChanged, &m_WatcherReady})
    {
        // Only the request handle stays signalled until the next request.
        event->Reset(CreateEventW(nullptr, event != &m_KeyChanged, FALSE, nullptr));
        if (!*event)
            return GetLastError();
    }
    CHandleHolder thread(CreateThread(nullptr, 0, WatcherProc, this, 0, nullptr));
    if (!thread)
        return GetLastError();
    // The first request must not miss a change written right after it returns.
    WaitForSingleObject(m_WatcherReady.Get(), INFINITE);
    return ERROR_SUCCESS;
}

DWORD WINAPI CAddressChangeNotifier::WatcherProc(PVOID self)
{
    static_cast<CAddressChangeNotifier*>(self)->Watch();
    return 0;
}

void CAddressChangeNotifier::Watch()
{
    ArmWatch();
    m_LastChange = ReadChange();
    SetEvent(m_WatcherReady.Get());
    for (;;)
    {
        DWORD wait = WaitForSingleObject(m_KeyChanged.Get(), RecheckMilliseconds);
        // Re-armed before reading, so that a write after the read signals again.
        if (wait == WAIT_OBJECT_0 || !WatchIsAlive())
            ArmWatch();
        try
        {
            SCRIPT_VALUE change = ReadChange();
            if (change == m_LastChange)
                continue;
            m_LastChange = std::move(change);
        }
        catch (const std::bad_alloc&)
        {
            continue; // read again at the next wake
        }
        // A deleted value is the end of a script, not a change.
        if (m_LastChange.Present)
            CompleteAll(StatusSuccess);
    }
}

// Watches the whole "Kestrin Test" tree, so that the IPHelper key may be
// deleted and created again by a test without the watch going stale.
bool CAddressChangeNotifier::ArmWatch()
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (!m_RootKey &&
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, ScriptNames::RootKey, 0, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE,
                            nullptr, m_RootKey.Put(), nullptr) != ERROR_SUCCESS)
            return false;
        if (RegNotifyChangeKeyValue(m_RootKey.Get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                    m_KeyChanged.Get(), TRUE) == ERROR_SUCCESS)
            return true;
        m_RootKey.Reset(); // deleted under us: open it anew
    }
    return false;
}

bool CAddressChangeNotifier::WatchIsAlive() const
{
    return m_RootKey && RegQueryInfoKeyW(m_RootKey.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr) != ERROR_KEY_DELETED;
}

void CAddressChangeNotifier::CompleteAll(LONG status)
{
    CExclusiveLock lock(m_Lock);
    for (OVERLAPPED* overlapped : m_Pending)
        Complete(*overlapped, status);
    m_Pending.clear();
    SetEvent(m_RequestHandle.Get());
}
