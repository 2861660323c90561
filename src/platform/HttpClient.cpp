#include "platform/HttpClient.h"

#include "common/Handle.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/HttpSession.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

namespace
{
// The most a body is read in one call, whatever a server says is waiting.
constexpr DWORD ReadChunk = 0x10000;
} // namespace

bool HTTP_CONNECTION::Connect()
{
    if (Handle)
        return true;
    Handle.Reset(ConnectHttp(Server.c_str()));
    if (Handle)
        return true;
    LastError = GetLastError();
    CErrorText text;
    LogPrintf(LOG_ERROR, L"Unable to connect to Server \"%s\".\r\n    %s. Error code = %ld.", Server.c_str(),
              HttpErrorText(LastError, text), (long)LastError);
    return false;
}

bool HTTP_REQUEST::Get(const wchar_t* path)
{
    Request.Reset();
    StatusCode = 0;
    Request.Reset(WinHttpOpenRequest(Connection, L"GET", path, L"HTTP/1.1", WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_BYPASS_PROXY_CACHE));
    // A redirect would take the request to a host nobody configured.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    int step = static_cast<int>(StepTimeoutMs);
    if (!Request ||
        !WinHttpSetOption(Request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof(noRedirects)) ||
        (StepTimeoutMs != 0 && !WinHttpSetTimeouts(Request.Get(), step, step, step, step)) ||
        !WinHttpSendRequest(Request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(Request.Get(), nullptr))
    {
        LastError = GetLastError();
        return false;
    }
    LastError = 0;
    QueryNumber(WINHTTP_QUERY_STATUS_CODE, StatusCode);
    return StatusCode == HTTP_STATUS_OK;
}

bool HTTP_REQUEST::QueryNumber(DWORD infoLevel, DWORD& value)
{
    DWORD size = 0;
    WinHttpQueryHeaders(Request.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(Request.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    wchar_t* end = nullptr;
    unsigned long number = std::wcstoul(text.data(), &end, 10);
    if (end == text.data())
        return false;
    value = static_cast<DWORD>(number);
    return true;
}

// The buffer holds at least size bytes afterwards, all zero.
bool HTTP_REQUEST::Reserve(DWORD size)
{
    if (ResponseBufferSize < size)
    {
        ResponseBuffer.reset(new (std::nothrow) BYTE[size]);
        ResponseBufferSize = ResponseBuffer ? size : 0;
        if (!ResponseBuffer)
            return false;
    }
    std::memset(ResponseBuffer.get(), 0, ResponseBufferSize);
    return true;
}

bool HTTP_REQUEST::QueryAvailable(DWORD& available)
{
    if (CancelEvent && WaitForSingleObject(CancelEvent, 0) == WAIT_OBJECT_0)
        return Fail(ERROR_CANCELLED);
    if (Deadline != 0 && GetTickCount64() >= Deadline)
        return Fail(ERROR_TIMEOUT);
    if (WinHttpQueryDataAvailable(Request.Get(), &available))
        return true;
    LastError = GetLastError();
    return false;
}

// Every failure leaves a code in LastError: a body over the limit, or one
// that ends before its Content-Length, is not taken, and says why.
bool HTTP_REQUEST::DownloadToBuffer()
{
    ContentLength = 0;
    QueryNumber(WINHTTP_QUERY_CONTENT_LENGTH, ContentLength);
    if (ContentLength > MaxBufferedBody)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!Reserve(ContentLength + 1))
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    DWORD total = 0;
    for (;;)
    {
        DWORD available = 0;
        if (!QueryAvailable(available))
            return false;
        if (available == 0)
            return total == ContentLength || Fail(ERROR_HANDLE_EOF);
        if (total + available > ContentLength)
        {
            LogMessage(L"**** HTTP_REQUEST::DownloadToBuffer() Failed! Data > Buffer!");
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        DWORD read = 0;
        if (!WinHttpReadData(Request.Get(), ResponseBuffer.get() + total, available, &read) || read != available)
        {
            LastError = GetLastError();
            return false;
        }
        total += read;
    }
}

bool HTTP_REQUEST::DownloadToFile(const wchar_t* fileName, ULONGLONG maxBytes)
{
    CHandle file(CreateFileW(fileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return Fail(GetLastError());
    bool complete = StreamToFile(file.Get(), maxBytes);
    file.Close();
    if (!complete)
        DeleteFileW(fileName);
    return complete;
}

bool HTTP_REQUEST::StreamToFile(HANDLE file, ULONGLONG maxBytes)
{
    DWORD announced = 0;
    bool lengthKnown = QueryNumber(WINHTTP_QUERY_CONTENT_LENGTH, announced);
    if (lengthKnown && announced > maxBytes)
        return Fail(ERROR_FILE_TOO_LARGE);
    ULONGLONG total = 0;
    for (;;)
    {
        DWORD available = 0;
        if (!QueryAvailable(available))
            return false;
        // A connection closed early ends the body too: only the announced
        // length tells a whole package from part of one.
        if (available == 0)
            return !lengthKnown || total == announced || Fail(ERROR_HANDLE_EOF);
        DWORD chunk = std::min(available, ReadChunk);
        if (chunk > ResponseBufferSize && !Reserve(chunk + 1))
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        std::memset(ResponseBuffer.get(), 0, ResponseBufferSize);
        DWORD read = 0;
        if (!WinHttpReadData(Request.Get(), ResponseBuffer.get(), chunk, &read))
            return Fail(GetLastError());
        total += read;
        if (total > maxBytes)
            return Fail(ERROR_FILE_TOO_LARGE);
        DWORD written = 0;
        if (!WriteFile(file, ResponseBuffer.get(), read, &written, nullptr) || written != read)
            return Fail(GetLastError());
    }
}

bool HTTP_REQUEST::Fail(DWORD error)
{
    LastError = error;
    return false;
}
