#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

class CAddressList;

// Byte vectors of the query protocol's fields, to spell out expected
// datagrams field by field.
using Bytes = std::vector<uint8_t>;

Bytes U8(uint8_t value);
Bytes U16(uint16_t value);             // little-endian
Bytes U32(uint32_t value);             // little-endian
Bytes Wide(const std::wstring& text);  // UTF-16LE and a 16-bit zero
Bytes Narrow(const std::string& text); // the bytes and a zero byte
Bytes Cat(std::initializer_list<Bytes> parts);

void AddIPv4(CAddressList& list, const char* text);
void AddIPv6(CAddressList& list, const char* text);
