#include "novell/AnsiText.h"

#include "identifiers/NovellApi.h"

#include <windows.h>

#include <cstring>

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size =
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

std::wstring FromAnsi(const char* text)
{
    int length = static_cast<int>(std::strlen(text));
    if (length == 0)
        return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), size);
    return wide;
}

void CopyToCaller(const std::string& text, char* buffer)
{
    size_t length = text.size() < NW_MAX_DN_BYTES ? text.size() : NW_MAX_DN_BYTES - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}
