#include "LogCapture.h"

#include "diag/Log.h"
#include "diag/LogFile.h"

CLogCapture::CLogCapture() { TheLogFile().Open(m_Folder.File(L"Kestrin.log").c_str()); }

CLogCapture::~CLogCapture() { TheLogFile().Close(); }

std::string CLogCapture::Text() const { return ReadFileBytes(m_Folder.File(L"Kestrin.log")); }

std::vector<std::string> CLogCapture::Lines() const
{
    std::vector<std::string> lines;
    std::string text = Text();
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t close = line.find(") ");
        if (line.size() > 2 && line[2] == '/' && close != std::string::npos)
            lines.push_back(line.substr(close + 2));
        else if (!lines.empty())
            lines.back() += "\r\n" + line;
        start = end + 2;
    }
    return lines;
}

CDeathLog::CDeathLog(const std::wstring& name)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    m_Path = std::wstring(folder) + L"kestrin-death-" + name + L".log";
    DeleteFileW(m_Path.c_str());
}

CDeathLog::~CDeathLog() { DeleteFileW(m_Path.c_str()); }

void CDeathLog::Open() { TheLogFile().Open(m_Path.c_str()); }

std::string CDeathLog::Text() const { return ReadFileBytes(m_Path); }
