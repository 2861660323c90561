#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct MD5_CONTEXT;

// MD5 message digest (RFC 1321): Init, any number of Update calls, Final,
// then GetDigest.
class CMD5
{
public:
    CMD5();
    virtual ~CMD5();
    CMD5(const CMD5&) = delete;
    CMD5& operator=(const CMD5&) = delete;

    virtual void Init();
    virtual void Update(const void* data, size_t length);
    virtual void Final();
    virtual void GetDigest(uint8_t digest[16]) const;

private:
    void Transform(const uint8_t block[64]);

    std::unique_ptr<MD5_CONTEXT> m_Context;
};

// The digest as 32 upper-case hexadecimal digits, in digest order.
std::wstring Md5ToHex(const uint8_t digest[16]);
