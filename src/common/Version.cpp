#include "common/Version.h"

#include "common/StringSplit.h"

#include <cstdint>
#include <cwchar>

bool ParseVersionTriple(const std::wstring& text, unsigned long parts[3])
{
    std::vector<std::wstring> fields = SplitString(text, L'.');
    if (fields.size() < 3)
        return false;
    for (int i = 0; i < 3; ++i)
        parts[i] = std::wcstoul(fields[i].c_str(), nullptr, 10);
    return true;
}

bool IsNewerTriple(const unsigned long available[3], const unsigned long running[3])
{
    for (int i = 0; i < 3; ++i)
        if (available[i] != running[i])
            return static_cast<uint32_t>(available[i]) > static_cast<uint32_t>(running[i]);
    return false;
}
