#pragma once

#include <string>

// Narrow texts (the log file, the wire protocols) use the thread's ANSI code
// page, never UTF-8: that is what the peers on the other side decode.
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);

// The text in lower case, as the system's locale lowers it.
std::wstring LowerCase(std::wstring text);
// The text without white space at either end.
std::wstring TrimWhitespace(const std::wstring& text);
// Text from outside, fit for one log line: control characters (which could
// start a line of their own) shown as "?", and cut short after maxLength.
std::wstring PrintableText(const std::wstring& text, size_t maxLength = 200);
