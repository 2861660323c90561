#include "service/ConsoleWindow.h"

#include "diag/Log.h"
#include "diag/LogFile.h"
#include "platform/RegKey.h"

#include <atomic>
#include <cstdio>

namespace
{
constexpr wchar_t OptionsKey[] = L"SOFTWARE\\Varnel Systems\\User Agent";
constexpr SHORT ConsoleColumns = 80;
constexpr SHORT ConsoleRows = 256;

std::atomic<HANDLE> ConsoleOutput{nullptr};
std::atomic<HANDLE> ConsoleInput{nullptr};
// The agent's stop event, as published; the lock keeps the control handler
// from setting an event that is being closed.
HANDLE ConsoleStopEvent = nullptr;
SRWLOCK ConsoleStopEventLock = SRWLOCK_INIT;

void SignalConsoleStopEvent()
{
    AcquireSRWLockShared(&ConsoleStopEventLock);
    if (ConsoleStopEvent)
        SetEvent(ConsoleStopEvent);
    ReleaseSRWLockShared(&ConsoleStopEventLock);
}

void ClearScreen(HANDLE output)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(output, &info))
        return;
    DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    COORD origin{0, 0};
    DWORD written = 0;
    FillConsoleOutputCharacterW(output, L' ', cells, origin, &written);
    FillConsoleOutputAttribute(output, info.wAttributes, cells, origin, &written);
    SetConsoleCursorPosition(output, origin);
}

void AttachStandardOutput()
{
    FILE* stream = nullptr;
    if (_wfreopen_s(&stream, L"CONOUT$", L"wt", stdout) == 0)
        setvbuf(stdout, nullptr, _IONBF, 0);
}
} // namespace

WORD ReadConsoleTextColor()
{
    CRegKey key;
    if (key.Open(OptionsKey, KEY_READ | KEY_WRITE) != ERROR_SUCCESS)
        return CONSOLE_TEXT_COLOR_DEFAULT;
    // Four bytes whatever the value's type; missing or unreadable keeps the default.
    DWORD color = CONSOLE_TEXT_COLOR_DEFAULT;
    key.ReadDword(L"Console Text Color", color);
    return static_cast<WORD>(color);
}

void PublishConsoleStopEvent(HANDLE stopEvent)
{
    AcquireSRWLockExclusive(&ConsoleStopEventLock);
    ConsoleStopEvent = stopEvent;
    ReleaseSRWLockExclusive(&ConsoleStopEventLock);
}

bool CreateConsoleWindow(WORD attribute)
{
    if (!AllocConsole())
        return false;
    SetConsoleTitleW(L"User Agent Service");

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE)
        return false;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
    {
        FreeConsole();
        return false;
    }
    ConsoleOutput.store(output);
    ConsoleInput.store(input);

    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    AttachStandardOutput();
    ClearScreen(output);
    SetConsoleTextAttribute(output, attribute);
    SetConsoleScreenBufferSize(output, COORD{ConsoleColumns, ConsoleRows});
    TheLogFile().SetConsoleOutput(output);
    return true;
}

BOOL WINAPI ConsoleCtrlHandler(DWORD controlType)
{
    switch (controlType)
    {
    case CTRL_C_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        SignalConsoleStopEvent();
        // The agent shuts down on its own thread; returning would let the
        // system end the process under it.
        Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

void WaitForKey()
{
    HANDLE output = ConsoleOutput.load();
    HANDLE input = ConsoleInput.load();
    if (!output || !input)
        return;
    static constexpr wchar_t Prompt[] = L"Press Any Key...";
    DWORD written = 0;
    WriteConsoleW(output, Prompt, ARRAYSIZE(Prompt) - 1, &written, nullptr);
    FlushConsoleInputBuffer(input);
    for (;;)
    {
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &record, 1, &read) || read == 0)
            return;
        if (record.EventType == KEY_EVENT)
            return;
    }
}
