#include "platform/FileVersionInfo.h"

#include "common/Format.h"

#include <windows.h>

#include <vector>

namespace
{
struct TRANSLATION
{
    WORD Language;
    WORD CodePage;
};

std::wstring QueryString(std::vector<BYTE>& block, const TRANSLATION& translation, const wchar_t* name)
{
    std::wstring path =
        FormatString(L"\\StringFileInfo\\%04x%04x\\%s", translation.Language, translation.CodePage, name);
    wchar_t* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &length) || !text)
        return {};
    return std::wstring(text, wcsnlen(text, length));
}
} // namespace

bool CFileVersionInfo::Read(const wchar_t* fileName, unsigned long size)
{
    if (size == 0)
        return false;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(fileName, 0, size, block.data()))
        return false;

    void* root = nullptr;
    UINT rootLength = 0;
    if (!VerQueryValueW(block.data(), L"\\", &root, &rootLength))
        return false;
    TRANSLATION* translations = nullptr;
    UINT translationBytes = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                        &translationBytes))
        return false;
    if (translationBytes > 3 && translations)
    {
        CompanyName = QueryString(block, translations[0], L"CompanyName");
        ProductName = QueryString(block, translations[0], L"ProductName");
        FileVersion = QueryString(block, translations[0], L"FileVersion");
        FileDescription = QueryString(block, translations[0], L"FileDescription");
    }
    return true;
}

std::wstring ProgramFilePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size())
        {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}
