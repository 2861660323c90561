#pragma once

#include <windows.h>

#include <memory>

// Owns one wide text, usually the system's message for an error code, ready to
// be printed with "%s. Error code = %ld.".
class CErrorText
{
public:
    CErrorText() = default;
    explicit CErrorText(DWORD error, HMODULE module = nullptr) { FromSystemError(error, module); }

    // Looks up the system's (and the module's) text for the code, without the
    // trailing line break and final period. False, and empty, when there is none.
    bool FromSystemError(DWORD error, HMODULE module = nullptr);

    // Replaces the text with a printf-style formatted one.
    void Format(const wchar_t* format, ...);

    // Never null: an empty holder yields "".
    const wchar_t* Text();
    DWORD Length() const { return m_Length; }

private:
    void Resize(DWORD length);
    void Clear();

    std::unique_ptr<wchar_t[]> m_Buffer;
    DWORD m_Length = 0;
};
