#include "QueryBytes.h"

#include "identity/AddressList.h"

#include <winsock2.h>
#include <ws2tcpip.h>

Bytes U8(uint8_t value) { return {value}; }

Bytes U16(uint16_t value) { return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}; }

Bytes U32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

Bytes Wide(const std::wstring& text)
{
    Bytes bytes;
    for (wchar_t c : text)
    {
        Bytes unit = U16(static_cast<uint16_t>(c));
        bytes.insert(bytes.end(), unit.begin(), unit.end());
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

Bytes Narrow(const std::string& text)
{
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes bytes;
    for (const auto& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

void AddIPv4(CAddressList& list, const char* text)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    list.Append(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

void AddIPv6(CAddressList& list, const char* text)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    list.Append(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}
