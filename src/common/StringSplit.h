#pragma once

#include <string>
#include <vector>

// The pieces between separators, empty pieces included ("a..b" gives three).
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator);
