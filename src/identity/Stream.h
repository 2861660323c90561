#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t STREAM_E_OVERFLOW = 0x80000100;

// A bounded writer and reader over a buffer the caller owns. Every primitive
// that lacks room throws CException(STREAM_E_OVERFLOW) and leaves the cursor
// after the last complete item.
struct STREAM
{
    enum : uint32_t
    {
        StreamPrefixed = 0x1,   // strings carry a 16-bit length prefix
        StreamTerminated = 0x2, // strings carry a terminator
    };

    STREAM(void* buffer, uint32_t size, uint32_t flags);

    void WriteU8(uint8_t value);
    // Machine order (little-endian); callers wanting network order swap first.
    void WriteU16(uint16_t value);
    void WriteU32(uint32_t value);
    void WriteBytes(const void* data, uint32_t length);
    uint16_t ReadU16();
    uint32_t ReadU32();

    // Narrow bytes; the prefix is a big-endian byte count.
    void WriteString(const char* bytes, uint32_t length);
    // UTF-16LE; the prefix is a little-endian character count.
    void WriteWideString(const wchar_t* text, uint32_t length);
    // A wide field as narrow bytes in the thread's ANSI code page.
    void WriteAnsiString(const std::wstring& text);

    uint32_t Free() const { return static_cast<uint32_t>(Base + Size - Cursor); }
    uint32_t Produced() const { return static_cast<uint32_t>(Cursor - Base); }

    uint32_t Flags;
    uint8_t* Base;
    uint32_t Size;
    uint8_t* Cursor;
    uint8_t* HighWater;

private:
    void Require(uint32_t bytes) const;
    void Advance(uint32_t bytes);
};
