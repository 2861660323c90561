#pragma once

#include "identifiers/NovellApi.h"

#include <cstddef>
#include <string>
#include <vector>

// The stand-in's own layout of a client buffer: a request names one
// attribute, a reply holds one attribute and its values, read in order.
struct NW_BUF
{
    size_t Size = 0; // as asked for; nothing is ever packed into it
    uint32_t Operation = 0;
    std::string AttributeName;
    bool HasAttribute = false;
    std::vector<std::string> Values;
    size_t NextValue = 0;
};
