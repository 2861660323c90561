#pragma once

#include <string>

// The version resource strings of a program file.
class CFileVersionInfo
{
public:
    // size as GetFileVersionInfoSizeW reports it for the file. True when the
    // version block and its translation table could be read; strings that
    // are missing stay empty.
    bool Read(const wchar_t* fileName, unsigned long size);

    std::wstring CompanyName;
    std::wstring ProductName;
    std::wstring FileVersion;
    std::wstring FileDescription;
};

// The full path of the running program file.
std::wstring ProgramFilePath();
