#include "common/MD5.h"

#include "common/Format.h"

#include <cstring>

struct MD5_CONTEXT
{
    uint32_t BitCount[2]; // low word first
    uint32_t State[4];
    uint8_t Buffer[64];
};

namespace
{
constexpr uint32_t Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int Shifts[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
                            14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                            4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

uint32_t RotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

uint32_t LoadLittleEndian(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

void StoreLittleEndian(uint32_t value, uint8_t* bytes)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
} // namespace

CMD5::CMD5() : m_Context(std::make_unique<MD5_CONTEXT>()) { Init(); }

CMD5::~CMD5() = default;

void CMD5::Init()
{
    m_Context->BitCount[0] = m_Context->BitCount[1] = 0;
    m_Context->State[0] = 0x67452301;
    m_Context->State[1] = 0xEFCDAB89;
    m_Context->State[2] = 0x98BADCFE;
    m_Context->State[3] = 0x10325476;
    std::memset(m_Context->Buffer, 0, sizeof(m_Context->Buffer));
}

void CMD5::Update(const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t buffered = (m_Context->BitCount[0] >> 3) & 0x3F;
    uint64_t bits = (uint64_t(m_Context->BitCount[1]) << 32 | m_Context->BitCount[0]) + uint64_t(length) * 8;
    m_Context->BitCount[0] = static_cast<uint32_t>(bits);
    m_Context->BitCount[1] = static_cast<uint32_t>(bits >> 32);

    while (length > 0)
    {
        size_t taken = 64 - buffered < length ? 64 - buffered : length;
        std::memcpy(m_Context->Buffer + buffered, bytes, taken);
        buffered += taken;
        bytes += taken;
        length -= taken;
        if (buffered == 64)
        {
            Transform(m_Context->Buffer);
            buffered = 0;
        }
    }
}

void CMD5::Final()
{
    uint8_t lengthBytes[8];
    StoreLittleEndian(m_Context->BitCount[0], lengthBytes);
    StoreLittleEndian(m_Context->BitCount[1], lengthBytes + 4);
    size_t buffered = (m_Context->BitCount[0] >> 3) & 0x3F;
    static const uint8_t Padding[64] = {0x80};
    Update(Padding, buffered < 56 ? 56 - buffered : 120 - buffered);
    Update(lengthBytes, sizeof(lengthBytes));
}

void CMD5::GetDigest(uint8_t digest[16]) const
{
    for (int i = 0; i < 4; ++i)
        StoreLittleEndian(m_Context->State[i], digest + 4 * i);
}

void CMD5::Transform(const uint8_t block[64])
{
    uint32_t words[16];
    for (int i = 0; i < 16; ++i)
        words[i] = LoadLittleEndian(block + 4 * i);
    uint32_t a = m_Context->State[0], b = m_Context->State[1], c = m_Context->State[2], d = m_Context->State[3];
    for (int i = 0; i < 64; ++i)
    {
        uint32_t f;
        int g;
        if (i < 16)
            f = (b & c) | (~b & d), g = i;
        else if (i < 32)
            f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
        else if (i < 48)
            f = b ^ c ^ d, g = (3 * i + 5) % 16;
        else
            f = c ^ (b | ~d), g = (7 * i) % 16;
        uint32_t rotated = RotateLeft(a + f + Sines[i] + words[g], Shifts[i]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    m_Context->State[0] += a;
    m_Context->State[1] += b;
    m_Context->State[2] += c;
    m_Context->State[3] += d;
}

std::wstring Md5ToHex(const uint8_t digest[16])
{
    std::wstring text;
    for (int i = 0; i < 16; ++i)
        text += FormatString(L"%0.2X", digest[i]);
    return text;
}
