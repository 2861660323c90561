#include "eventsystem/FireWatcher.h"

#include "eventsystem/EventDelivery.h"
#include "shared/CallCounter.h"
#include "shared/Holders.h"
#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

#include <cwchar>
#include <cwctype>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace
{
// How often the watch is checked: Wine signals nothing when the watched key
// itself is deleted.
constexpr DWORD RecheckMilliseconds = 1000;

// The thread's COM apartment, for as long as the thread lives.
class CMultithreadedApartment
{
public:
    CMultithreadedApartment() : m_Joined(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~CMultithreadedApartment()
    {
        if (m_Joined)
            CoUninitialize();
    }
    CMultithreadedApartment(const CMultithreadedApartment&) = delete;
    CMultithreadedApartment& operator=(const CMultithreadedApartment&) = delete;

private:
    bool m_Joined;
};

std::vector<std::wstring> SplitWords(const std::wstring& text)
{
    std::vector<std::wstring> words;
    size_t position = 0;
    for (;;)
    {
        while (position < text.size() && std::iswspace(text[position]))
            ++position;
        if (position == text.size())
            return words;
        size_t start = position;
        while (position < text.size() && !std::iswspace(text[position]))
            ++position;
        words.push_back(text.substr(start, position - start));
    }
}

// The event and session of "<tag> <event> [<session id>]", delivered.
HRESULT Fire(const std::vector<std::wstring>& words)
{
    const SENS_EVENT* event = words.size() >= 2 ? FindSensEvent(words[1]) : nullptr;
    std::optional<DWORD> sessionId = words.size() >= 3 ? ParseDecimal(words[2]) : std::optional<DWORD>{0};
    if (!event || !sessionId || words.size() > 3)
        return E_INVALIDARG;
    return DeliverSensEvent(*event, *sessionId);
}

HRESULT TryFire(const std::vector<std::wstring>& words)
{
    try
    {
        return Fire(words);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

void WriteFired(const std::wstring& tag, HRESULT result)
{
    wchar_t code[16] = {};
    swprintf(code, ARRAYSIZE(code), L"0x%08lX", static_cast<unsigned long>(result));
    std::wstring text = tag + L" " + code;
    CKeyHolder key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ScriptNames::EventSystemKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        key.Put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExW(key.Get(), ScriptNames::Fired, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::vector<std::wstring> ReadFire()
{
    return SplitWords(CScriptKey(ScriptNames::EventSystemKey).ReadString(ScriptNames::Fire));
}

class CFireWatcher
{
public:
    DWORD Start()
    {
        InitOnceExecuteOnce(&m_Once, StartOnce, this, nullptr);
        return m_StartError;
    }

private:
    static BOOL CALLBACK StartOnce(PINIT_ONCE, PVOID self, PVOID*)
    {
        auto* watcher = static_cast<CFireWatcher*>(self);
        watcher->m_StartError = watcher->StartThread();
        return TRUE;
    }
    DWORD StartThread();
    static DWORD WINAPI ThreadProc(PVOID self);
    void Watch();
    void FireIfNew();
    bool ArmWatch();
    bool WatchIsAlive() const;

    INIT_ONCE m_Once = INIT_ONCE_STATIC_INIT;
    DWORD m_StartError = ERROR_SUCCESS;
    CHandleHolder m_KeyChanged;
    CHandleHolder m_Ready;

    // The watcher thread's alone.
    CKeyHolder m_RootKey;
    std::wstring m_LastTag;
};

// Never destroyed: its thread runs until the process ends.
CFireWatcher& Watcher()
{
    static CFireWatcher* watcher = new CFireWatcher;
    return *watcher;
}

DWORD CFireWatcher::StartThread()
{
    // The thread outlives every object of the DLL, so the DLL stays loaded.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&Watcher), &module))
        return GetLastError();
    m_KeyChanged.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_Ready.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_KeyChanged || !m_Ready)
        return GetLastError();
    CHandleHolder thread(CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
    if (!thread)
        return GetLastError();
    // A Fire written as soon as the first object exists must not be taken
    // for one written before.
    WaitForSingleObject(m_Ready.Get(), INFINITE);
    return ERROR_SUCCESS;
}

DWORD WINAPI CFireWatcher::ThreadProc(PVOID self)
{
    CMultithreadedApartment apartment;
    static_cast<CFireWatcher*>(self)->Watch();
    return 0;
}

void CFireWatcher::Watch()
{
    ArmWatch();
    try
    {
        std::vector<std::wstring> words = ReadFire();
        if (!words.empty())
            m_LastTag = words.front(); // written before this process watched: not for it
    }
    catch (const std::bad_alloc&)
    {
        m_LastTag.clear(); // then the value present is taken as new
    }
    SetEvent(m_Ready.Get());
    for (;;)
    {
        DWORD wait = WaitForSingleObject(m_KeyChanged.Get(), RecheckMilliseconds);
        // Re-armed before reading, so that a write after the read signals again.
        if (wait == WAIT_OBJECT_0 || !WatchIsAlive())
            ArmWatch();
        FireIfNew();
    }
}

void CFireWatcher::FireIfNew()
{
    std::vector<std::wstring> words;
    try
    {
        words = ReadFire();
    }
    catch (const std::bad_alloc&)
    {
        return; // read again at the next wake
    }
    if (words.empty() || words.front() == m_LastTag)
        return;
    m_LastTag = words.front();
    CountCall(L"EventSystem.Fire");
    WriteFired(m_LastTag, TryFire(words));
}

// Watches the whole "Kestrin Test" tree, so that a test may delete the
// EventSystem key and create it again without the watch going stale.
bool CFireWatcher::ArmWatch()
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

bool CFireWatcher::WatchIsAlive() const
{
    return m_RootKey && RegQueryInfoKeyW(m_RootKey.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr) != ERROR_KEY_DELETED;
}
} // namespace

DWORD StartFireWatcher() { return Watcher().Start(); }
