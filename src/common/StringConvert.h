#pragma once

#include <string>

// Narrow texts (the log file, the wire protocols) use the thread's ANSI code
// page, never UTF-8: that is what the peers on the other side decode.
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);
