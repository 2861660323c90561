// Test helper, run under Wine by the end-to-end tests.
//
//   KestrinTestHelper run [--timeout-ms N] <program> [arguments...]
//
// Starts the program, answers every message box titled "User Agent Service"
// that it shows (reporting the box's text and icon, then pressing OK), and
// reports the program's full 32-bit exit code, which a Linux exit status
// cannot carry. Output is one JSON object per line:
//   {"event":"box","icon":"error","text":"..."}
//   {"event":"exit","code":-1}
//   {"event":"timeout"}
//
//   KestrinTestHelper console-dump <process id>
//
// Attaches to the console of that process and reports its title, buffer size,
// current text attribute, and every non-empty line with the attribute of its
// first character: {"title":...,"columns":80,"rows":256,"attribute":14,
// "lines":[{"text":...,"attribute":14}, ...]}
//
//   KestrinTestHelper console-key <process id>
//
// Puts one key press (the space bar) into that console's input.
//
//   KestrinTestHelper hold-event <name> set|unset
//
// Creates a named manual-reset event in that state and holds it until its
// standard input ends, as the system holds "Global\TermSrvReadyEvent".
// Prints {"event":"holding"} once the event exists.
//
//   KestrinTestHelper service-status <service name>
//
// The service's status as the service control manager reports it:
// {"state":4,"controls":133,"type":16,"exit_code":0}
//
//   KestrinTestHelper volatile-key <path under HKEY_LOCAL_MACHINE>
//
// Creates the key as a volatile one (none of its subkeys may then be
// lasting); {"created":true} or {"event":"error","code":...}.
//
//   KestrinTestHelper key-access <path under HKEY_LOCAL_MACHINE>
//
// Opens the key for reading as this process and as an ordinary user would
// (this process's token with BUILTIN\Administrators for deny only) and
// reports each open's Win32 error: {"self":0,"user":5}.
//
//   KestrinTestHelper workstation
//
// The computer's name and workgroup or domain as NetWkstaGetInfo gives them
// to the agent: {"computer":"VM","domain":"WORKGROUP"} (names without quotes
// or backslashes, as NetBIOS names are).
//
// Boxes and consoles need Wine's X11 driver, so run it with DISPLAY set.
#include <windows.h>

#include <cstdio>
#include <lm.h>
#include <string>
#include <vector>

namespace
{
constexpr wchar_t BoxTitle[] = L"User Agent Service";

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string result(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), result.data(), length, nullptr, nullptr);
    return result;
}

std::string JsonString(const std::wstring& text)
{
    std::string out = "\"";
    for (unsigned char c : ToUtf8(text))
    {
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20)
            {
                char escaped[8];
                snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                out += escaped;
            }
            else
                out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (wchar_t c : argument)
    {
        if (c == L'"')
            quoted += L'\\';
        quoted += c;
    }
    return quoted + L"\"";
}

struct BoxSearch
{
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    if (processId == search->ProcessId && IsWindowVisible(window) && lstrcmpW(title, BoxTitle) == 0)
    {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindIconControl(HWND window, LPARAM parameter)
{
    wchar_t className[32] = {};
    GetClassNameW(window, className, 32);
    if (lstrcmpiW(className, L"Static") == 0 && (GetWindowLongW(window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
    {
        *reinterpret_cast<HWND*>(parameter) = window;
        return FALSE;
    }
    return TRUE;
}

// Tells the standard icons apart by colour as drawn on the screen: the error
// icon is a red disc, the information icon a blue one.
std::string IconOf(HWND box)
{
    HWND icon = nullptr;
    EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&icon));
    if (!icon)
        return "none";
    RECT rect{};
    GetWindowRect(icon, &rect);
    for (int attempt = 0; attempt < 20; ++attempt)
    {
        HDC screen = GetDC(nullptr);
        int red = 0, blue = 0;
        for (LONG y = rect.top; y < rect.bottom; ++y)
            for (LONG x = rect.left; x < rect.right; ++x)
            {
                COLORREF c = GetPixel(screen, x, y);
                int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
                if (r > 150 && g < 100 && b < 100)
                    ++red;
                else if (b > 150 && r < 100)
                    ++blue;
            }
        ReleaseDC(nullptr, screen);
        int area = (rect.right - rect.left) * (rect.bottom - rect.top);
        if (red > area / 8)
            return "error";
        if (blue > area / 8)
            return "information";
        Sleep(100);
    }
    return "unknown";
}

std::wstring BoxText(HWND box)
{
    wchar_t text[4096] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    return text;
}

void AnswerBox(HWND box)
{
    Sleep(200); // let it paint before reading the icon
    std::string icon = IconOf(box);
    std::wstring text = BoxText(box);
    printf("{\"event\":\"box\",\"icon\":\"%s\",\"text\":%s}\n", icon.c_str(), JsonString(text).c_str());
    fflush(stdout);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 50 && IsWindow(box); ++i)
        Sleep(100);
}

int Run(DWORD timeoutMs, const std::vector<std::wstring>& command)
{
    std::wstring commandLine;
    for (const auto& argument : command)
        commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        printf("{\"event\":\"error\",\"code\":%lu}\n", GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);
    printf("{\"event\":\"started\",\"pid\":%lu}\n", process.dwProcessId);
    fflush(stdout);
    DWORD started = GetTickCount();
    while (WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT)
    {
        BoxSearch search{process.dwProcessId, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.Found)
            AnswerBox(search.Found);
        if (GetTickCount() - started > timeoutMs)
        {
            printf("{\"event\":\"timeout\"}\n");
            TerminateProcess(process.hProcess, 1);
            CloseHandle(process.hProcess);
            return 1;
        }
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    printf("{\"event\":\"exit\",\"code\":%ld}\n", static_cast<long>(exitCode));
    return 0;
}
bool AttachTo(const wchar_t* processId)
{
    FreeConsole();
    if (AttachConsole(wcstoul(processId, nullptr, 10)))
        return true;
    printf("{\"event\":\"error\",\"code\":%lu}\n", GetLastError());
    return false;
}

HANDLE OpenConsoleBuffer(const wchar_t* name)
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       0, nullptr);
}

int DumpConsole(const wchar_t* processId)
{
    if (!AttachTo(processId))
        return 1;
    HANDLE output = OpenConsoleBuffer(L"CONOUT$");
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(output, &info))
    {
        printf("{\"event\":\"error\",\"code\":%lu}\n", GetLastError());
        return 1;
    }
    wchar_t title[256] = {};
    GetConsoleTitleW(title, 256);
    std::string lines;
    std::vector<CHAR_INFO> row(info.dwSize.X);
    for (SHORT y = 0; y < info.dwSize.Y; ++y)
    {
        SMALL_RECT region{0, y, static_cast<SHORT>(info.dwSize.X - 1), y};
        if (!ReadConsoleOutputW(output, row.data(), COORD{info.dwSize.X, 1}, COORD{0, 0}, &region))
            break;
        std::wstring text;
        for (const auto& cell : row)
            text += cell.Char.UnicodeChar;
        text.erase(text.find_last_not_of(L' ') + 1);
        if (text.empty())
            continue;
        char entry[64];
        snprintf(entry, sizeof(entry), ",\"attribute\":%u}", row[0].Attributes);
        lines += (lines.empty() ? "" : ",") + std::string("{\"text\":") + JsonString(text) + entry;
    }
    printf("{\"title\":%s,\"columns\":%d,\"rows\":%d,\"attribute\":%u,\"lines\":[%s]}\n", JsonString(title).c_str(),
           info.dwSize.X, info.dwSize.Y, info.wAttributes, lines.c_str());
    return 0;
}

int PressKey(const wchar_t* processId)
{
    if (!AttachTo(processId))
        return 1;
    HANDLE input = OpenConsoleBuffer(L"CONIN$");
    INPUT_RECORD records[2] = {};
    for (int i = 0; i < 2; ++i)
    {
        records[i].EventType = KEY_EVENT;
        records[i].Event.KeyEvent.bKeyDown = i == 0;
        records[i].Event.KeyEvent.wRepeatCount = 1;
        records[i].Event.KeyEvent.wVirtualKeyCode = VK_SPACE;
        records[i].Event.KeyEvent.uChar.UnicodeChar = L' ';
    }
    DWORD written = 0;
    if (!WriteConsoleInputW(input, records, 2, &written))
    {
        printf("{\"event\":\"error\",\"code\":%lu}\n", GetLastError());
        return 1;
    }
    printf("{\"event\":\"key\",\"written\":%lu}\n", written);
    return 0;
}
int HoldEvent(const wchar_t* name, bool set)
{
    HANDLE event = CreateEventW(nullptr, TRUE, set ? TRUE : FALSE, name);
    if (!event)
    {
        printf("{\"event\":\"error\",\"code\":%lu}\n", GetLastError());
        return 1;
    }
    printf("{\"event\":\"holding\"}\n");
    fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
    }
    CloseHandle(event);
    return 0;
}

int ServiceStatus(const wchar_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    BOOL ok = service && QueryServiceStatus(service, &status);
    DWORD error = GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (!ok)
    {
        printf("{\"event\":\"error\",\"code\":%lu}\n", error);
        return 1;
    }
    printf("{\"state\":%lu,\"controls\":%lu,\"type\":%lu,\"exit_code\":%lu}\n", status.dwCurrentState,
           status.dwControlsAccepted, status.dwServiceType, status.dwWin32ExitCode);
    return 0;
}
int CreateVolatileKey(const wchar_t* path)
{
    HKEY key = nullptr;
    LONG error =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS)
    {
        printf("{\"event\":\"error\",\"code\":%ld}\n", error);
        return 1;
    }
    RegCloseKey(key);
    printf("{\"created\":true}\n");
    return 0;
}

LONG OpenForReading(const wchar_t* path)
{
    HKEY key = nullptr;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (key)
        RegCloseKey(key);
    return error;
}

// The open as an ordinary user would try it: this process's token with the
// administrators' group for deny only, impersonated.
int KeyAccess(const wchar_t* path)
{
    LONG self = OpenForReading(path);
    HANDLE process = nullptr;
    HANDLE user = nullptr;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    SID_AND_ATTRIBUTES disabled{administrators, 0};
    bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process) &&
              CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
              CreateRestrictedToken(process, 0, 1, &disabled, 0, nullptr, 0, nullptr, &user) &&
              ImpersonateLoggedOnUser(user);
    LONG asUser = ok ? OpenForReading(path) : static_cast<LONG>(GetLastError());
    RevertToSelf();
    for (HANDLE token : {process, user})
        if (token)
            CloseHandle(token);
    printf(ok ? "{\"self\":%ld,\"user\":%ld}\n" : "{\"event\":\"error\",\"self\":%ld,\"code\":%ld}\n", self, asUser);
    return ok ? 0 : 1;
}

int PrintWorkstation()
{
    WKSTA_INFO_100* info = nullptr;
    NET_API_STATUS status = NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&info));
    if (status != NERR_Success)
    {
        printf("{\"event\":\"error\",\"code\":%lu}\n", status);
        return 1;
    }
    printf("{\"computer\":\"%ls\",\"domain\":\"%ls\"}\n", info->wki100_computername, info->wki100_langroup);
    NetApiBufferFree(info);
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && lstrcmpW(argv[1], L"workstation") == 0)
        return PrintWorkstation();
    if (argc == 3 && lstrcmpW(argv[1], L"volatile-key") == 0)
        return CreateVolatileKey(argv[2]);
    if (argc == 3 && lstrcmpW(argv[1], L"console-dump") == 0)
        return DumpConsole(argv[2]);
    if (argc == 3 && lstrcmpW(argv[1], L"console-key") == 0)
        return PressKey(argv[2]);
    if (argc == 4 && lstrcmpW(argv[1], L"hold-event") == 0)
        return HoldEvent(argv[2], lstrcmpW(argv[3], L"set") == 0);
    if (argc == 3 && lstrcmpW(argv[1], L"key-access") == 0)
        return KeyAccess(argv[2]);
    if (argc == 3 && lstrcmpW(argv[1], L"service-status") == 0)
        return ServiceStatus(argv[2]);
    if (argc < 3 || lstrcmpW(argv[1], L"run") != 0)
    {
        fprintf(stderr, "usage: KestrinTestHelper run [--timeout-ms N] <program> [arguments...]\n"
                        "       KestrinTestHelper console-dump <process id>\n"
                        "       KestrinTestHelper console-key <process id>\n"
                        "       KestrinTestHelper hold-event <name> set|unset\n"
                        "       KestrinTestHelper key-access <path under HKEY_LOCAL_MACHINE>\n"
                        "       KestrinTestHelper service-status <service name>\n"
                        "       KestrinTestHelper volatile-key <path under HKEY_LOCAL_MACHINE>\n");
        return 2;
    }
    int next = 2;
    DWORD timeoutMs = 30000;
    if (lstrcmpW(argv[next], L"--timeout-ms") == 0 && next + 1 < argc)
    {
        timeoutMs = wcstoul(argv[next + 1], nullptr, 10);
        next += 2;
    }
    std::vector<std::wstring> command(argv + next, argv + argc);
    if (command.empty())
        return 2;
    return Run(timeoutMs, command);
}
