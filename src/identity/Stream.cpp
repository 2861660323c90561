#include "identity/Stream.h"

#include "common/StringConvert.h"
#include "diag/Exception.h"

#include <cstring>

STREAM::STREAM(void* buffer, uint32_t size, uint32_t flags)
    : Flags(flags), Base(static_cast<uint8_t*>(buffer)), Size(size), Cursor(Base), HighWater(Base)
{
}

void STREAM::Require(uint32_t bytes) const
{
    if (Free() < bytes)
        throw CException(STREAM_E_OVERFLOW, L"");
}

void STREAM::Advance(uint32_t bytes)
{
    Cursor += bytes;
    if (HighWater < Cursor)
        HighWater = Cursor;
}

void STREAM::WriteU8(uint8_t value) { WriteBytes(&value, 1); }

void STREAM::WriteU16(uint16_t value)
{
    uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    WriteBytes(bytes, 2);
}

void STREAM::WriteU32(uint32_t value)
{
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    WriteBytes(bytes, 4);
}

void STREAM::WriteBytes(const void* data, uint32_t length)
{
    Require(length);
    if (length)
        std::memcpy(Cursor, data, length);
    Advance(length);
}

uint16_t STREAM::ReadU16()
{
    Require(2);
    uint16_t value = static_cast<uint16_t>(Cursor[0] | Cursor[1] << 8);
    Advance(2);
    return value;
}

uint32_t STREAM::ReadU32()
{
    Require(4);
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | Cursor[i];
    Advance(4);
    return value;
}

void STREAM::WriteString(const char* bytes, uint32_t length)
{
    bool prefixed = Flags & StreamPrefixed;
    bool terminated = Flags & StreamTerminated;
    // A prefix that cannot hold the length, or that does not fit, would leave
    // the peer reading the string's bytes as its length: the string fails
    // whole instead.
    if (prefixed && length > 0xFFFF)
        throw CException(STREAM_E_OVERFLOW, L"");
    Require((prefixed ? 2 : 0) + length + (terminated ? 1 : 0));
    if (prefixed)
    {
        uint8_t prefix[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
        WriteBytes(prefix, 2);
    }
    WriteBytes(bytes, length);
    if (terminated)
        WriteU8(0);
}

void STREAM::WriteWideString(const wchar_t* text, uint32_t length)
{
    bool prefixed = Flags & StreamPrefixed;
    bool terminated = Flags & StreamTerminated;
    if (prefixed && length > 0xFFFF)
        throw CException(STREAM_E_OVERFLOW, L"");
    Require(2 * length + (prefixed ? 2 : 0) + (terminated ? 2 : 0));
    if (prefixed)
        WriteU16(static_cast<uint16_t>(length));
    for (uint32_t i = 0; i < length; ++i)
        WriteU16(static_cast<uint16_t>(text[i]));
    if (terminated)
        WriteU16(0);
}

void STREAM::WriteAnsiString(const std::wstring& text)
{
    std::string bytes = WideToAnsi(text);
    WriteString(bytes.data(), static_cast<uint32_t>(bytes.size()));
}
