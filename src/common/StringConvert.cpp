#include "common/StringConvert.h"

#include <windows.h>

#include <cwctype>

std::string WideToAnsi(const std::wstring& text)
{
    if (text.empty())
        return {};
    int length =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr,
                        nullptr);
    return result;
}

std::wstring AnsiToWide(const std::string& text)
{
    if (text.empty())
        return {};
    int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

std::wstring LowerCase(std::wstring text)
{
    if (!text.empty())
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring TrimWhitespace(const std::wstring& text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::iswspace(text[first]))
        ++first;
    while (last > first && std::iswspace(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::wstring PrintableText(const std::wstring& text, size_t maxLength)
{
    std::wstring shown = text.substr(0, maxLength);
    for (wchar_t& c : shown)
        if (c < 0x20 || c == 0x7F)
            c = L'?';
    if (text.size() > maxLength)
        shown += L"...";
    return shown;
}
