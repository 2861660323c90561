#include "diag/ErrorText.h"

#include "common/UniqueResource.h"
#include "diag/Exception.h"

#include <cstdarg>
#include <cwchar>
#include <new>
#include <stdio.h>

namespace
{
constexpr DWORD NeutralDefaultLanguage = 0x400;
}

bool CErrorText::FromSystemError(DWORD error, HMODULE module)
{
    Clear();
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (module)
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    CLocalMemory systemBuffer;
    DWORD length = FormatMessageW(flags, module, error, NeutralDefaultLanguage,
                                  reinterpret_cast<LPWSTR>(systemBuffer.Put()), 0, nullptr);
    const auto* text = static_cast<const wchar_t*>(systemBuffer.Get());
    if (length == 0 || !text)
        return false;

    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n'))
        --length;
    if (length > 0 && text[length - 1] == L'.')
        --length;
    if (length == 0)
        return false;

    Resize(length);
    wmemcpy(m_Buffer.get(), text, length);
    return true;
}

void CErrorText::Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length <= 0)
    {
        Clear();
        va_end(args);
        return;
    }
    Resize(static_cast<DWORD>(length));
    _vsnwprintf(m_Buffer.get(), static_cast<size_t>(length) + 1, format, args);
    m_Buffer[length] = L'\0';
    va_end(args);
}

const wchar_t* CErrorText::Text()
{
    if (!m_Buffer)
        Resize(0);
    return m_Buffer.get();
}

void CErrorText::Resize(DWORD length)
{
    if (m_Buffer && length == m_Length)
        return;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1]);
    if (!buffer)
        throw STRING_NO_MEMORY{2 * length + 2};
    DWORD kept = m_Buffer ? (m_Length < length ? m_Length : length) : 0;
    if (kept)
        wmemcpy(buffer.get(), m_Buffer.get(), kept);
    wmemset(buffer.get() + kept, L'\0', static_cast<size_t>(length - kept) + 1);
    m_Buffer = std::move(buffer);
    m_Length = length;
}

void CErrorText::Clear()
{
    m_Buffer.reset();
    m_Length = 0;
}
