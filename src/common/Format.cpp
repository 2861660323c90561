#include "common/Format.h"

#include <stdio.h>

// _vscwprintf/_vsnwprintf are the C runtime's own functions; unlike the
// C99-conforming replacements that libstdc++ selects, they read "%s" in a wide
// format as a wide string.
std::wstring FormatStringV(const wchar_t* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int written = _vsnwprintf(text.data(), text.size(), format, args);
    text.resize(written < 0 ? 0 : static_cast<size_t>(written));
    return text;
}

std::wstring FormatString(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    return text;
}
