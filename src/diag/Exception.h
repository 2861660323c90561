#pragma once

#include <windows.h>

#include <string>

// A failure that unwinds several levels; logged where it is caught.
struct CException
{
    CException(DWORD code, std::wstring message) : Code(code), Message(std::move(message)) {}

    DWORD Code; // Win32 error, HRESULT, 0 when the message says it all
    std::wstring Message;
};

// A processor fault (access violation and the like) inside a worker thread.
struct STRUCTURED_EXCEPTION
{
    unsigned int Code;
    EXCEPTION_RECORD* Record;
    CONTEXT* Context;
};

// A text buffer that could not be allocated.
struct STRING_NO_MEMORY
{
    DWORD Bytes;
};

// Logs "context\r\n    message. Error code = code" as one entry.
void LogException(const wchar_t* context, const CException& exception);
