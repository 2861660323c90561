#pragma once

#include <string>

// The client's texts are narrow, in the ANSI code page; the script's are wide.
std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const char* text);

// Copies the text into one of the caller's NW_MAX_DN_BYTES buffers, cut short
// so that it fits with its terminator.
void CopyToCaller(const std::string& text, char* buffer);
