#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting of wide text with the Windows conventions the whole
// program's messages are written in: "%s" takes a wide string.
std::wstring FormatString(const wchar_t* format, ...);
std::wstring FormatStringV(const wchar_t* format, va_list args);
