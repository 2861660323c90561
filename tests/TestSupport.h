#pragma once

#include <string>

// A fresh folder under the temporary directory, removed with its files.
class CTempFolder
{
public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::wstring& Path() const { return m_Path; }
    std::wstring File(const std::wstring& name) const { return m_Path + L"\\" + name; }

private:
    std::wstring m_Path;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// A Linux path handed in by the test runner, as Wine's Z: drive sees it.
std::wstring FromHostPath(const std::string& hostPath);
std::wstring TestDataFile(const std::wstring& name);

// A real explorer.exe of our own in the prefix, the shell the session lookups
// search for; ended with the object.
class CExplorer
{
public:
    CExplorer();
    ~CExplorer();
    CExplorer(const CExplorer&) = delete;
    CExplorer& operator=(const CExplorer&) = delete;
    unsigned long ProcessId() const { return m_ProcessId; }

private:
    void* m_Process = nullptr;
    unsigned long m_ProcessId = 0;
};

// Sets the Winlogon "Shell" value, which names the session shell the user
// lookups search for, for one test and puts the original back.
class CShellValue
{
public:
    CShellValue();
    ~CShellValue();
    CShellValue(const CShellValue&) = delete;
    CShellValue& operator=(const CShellValue&) = delete;
    void Set(unsigned long type, const std::wstring& text) const;
    void SetRaw(unsigned long type, const void* data, unsigned long size) const;

private:
    bool m_Had = false;
    std::wstring m_Original;
};
