#include "TestSupport.h"

#include "common/StringConvert.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <winsock2.h>

namespace
{
// Code under test expects what the service has set up before it runs.
struct CProcessSetUp
{
    CProcessSetUp()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
} ProcessSetUp;
} // namespace

CTempFolder::CTempFolder()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    wchar_t name[64];
    swprintf(name, 64, L"kestrin-test-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    m_Path = std::wstring(temp) + name;
    CreateDirectoryW(m_Path.c_str(), nullptr);
}

CTempFolder::~CTempFolder()
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((m_Path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW(File(data.cFileName).c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(m_Path.c_str());
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring FromHostPath(const std::string& hostPath)
{
    std::wstring path = L"Z:" + AnsiToWide(hostPath);
    for (auto& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::wstring TestDataFile(const std::wstring& name)
{
    const char* folder = std::getenv("KESTRIN_TEST_DATA");
    return FromHostPath(folder ? folder : ".") + L"\\" + name;
}

CExplorer::CExplorer()
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    wchar_t commandLine[] = L"C:\\windows\\explorer.exe";
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    CloseHandle(process.hThread);
    m_Process = process.hProcess;
    m_ProcessId = process.dwProcessId;
    // Found by the snapshot as soon as it exists; nothing more to wait for.
}

CExplorer::~CExplorer()
{
    if (!m_Process)
        return;
    TerminateProcess(m_Process, 0);
    WaitForSingleObject(m_Process, 5000);
    CloseHandle(m_Process);
}

namespace
{
constexpr wchar_t WinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
} // namespace

CShellValue::CShellValue()
{
    wchar_t data[260] = {};
    DWORD size = sizeof(data);
    m_Had =
        RegGetValueW(HKEY_LOCAL_MACHINE, WinlogonKey, L"Shell", RRF_RT_REG_SZ, nullptr, data, &size) == ERROR_SUCCESS;
    m_Original = data;
}

CShellValue::~CShellValue()
{
    if (m_Had)
        Set(REG_SZ, m_Original);
    else
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, WinlogonKey, L"Shell");
}

void CShellValue::Set(unsigned long type, const std::wstring& text) const
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, WinlogonKey, L"Shell", type, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void CShellValue::SetRaw(unsigned long type, const void* data, unsigned long size) const
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, WinlogonKey, L"Shell", type, data, size);
}
