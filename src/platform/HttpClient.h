#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <memory>
#include <string>
#include <winhttp.h>

namespace ResourceRelease
{
inline void WinHttpClose(HINTERNET handle) { ::WinHttpCloseHandle(handle); }
} // namespace ResourceRelease

using CInternetHandle = CUniqueResource<HINTERNET, ResourceRelease::WinHttpClose>;

// One server, reached by plain HTTP on the default port.
struct HTTP_CONNECTION
{
    explicit HTTP_CONNECTION(std::wstring server) : Server(std::move(server)) {}

    // Connects once; a later call reuses the connection. Logs its failure.
    bool Connect();

    CInternetHandle Handle;
    std::wstring Server;
    DWORD LastError = 0;
};

// GET requests on one connection, one at a time, with a response buffer that
// grows and never shrinks. A failure leaves its code in LastError; a response
// other than 200 fails with LastError 0 and its StatusCode. Redirects are
// never followed: a 3xx answer is a status like any other.
struct HTTP_REQUEST
{
    // Largest body DownloadToBuffer takes.
    static constexpr DWORD MaxBufferedBody = 0xFFFF;

    explicit HTTP_REQUEST(HINTERNET connection) : Connection(connection) {}

    bool Get(const wchar_t* path);
    // The body, zero-terminated, in ResponseBuffer.
    bool DownloadToBuffer();
    // The body into a new file of at most maxBytes; a body announced or found
    // to be longer fails with ERROR_FILE_TOO_LARGE. The file is deleted on
    // every failure.
    bool DownloadToFile(const wchar_t* fileName, ULONGLONG maxBytes);
    bool QueryNumber(DWORD infoLevel, DWORD& value);

    // Seen between reads of a body: the event, once signalled, ends the
    // download with ERROR_CANCELLED; the deadline (GetTickCount64, 0 for
    // none) with ERROR_TIMEOUT. Each read itself waits at most the session's
    // receive time-out.
    HANDLE CancelEvent = nullptr;
    ULONGLONG Deadline = 0;
    // Each step of Get (resolve, connect, send, the answer's head) and each
    // read waits at most this long; 0 leaves the session's time-outs.
    DWORD StepTimeoutMs = 0;

    HINTERNET Connection;
    DWORD StatusCode = 0;
    DWORD ContentLength = 0;
    CInternetHandle Request;
    std::unique_ptr<BYTE[]> ResponseBuffer;
    DWORD ResponseBufferSize = 0;
    DWORD LastError = 0;

private:
    bool Reserve(DWORD size);
    bool Fail(DWORD error);
    // False, with LastError, when the transfer ended in an error, was
    // cancelled or ran out of time.
    bool QueryAvailable(DWORD& available);
    bool StreamToFile(HANDLE file, ULONGLONG maxBytes);
};
