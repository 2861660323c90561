#pragma once

class CLogFile;

// Log levels by convention; the log writes every line whatever its level.
enum LogLevel
{
    LOG_ERROR = 1,
    LOG_INFO = 2,
    LOG_VERSION = 4,
    LOG_UPDATE_END = 5,
    LOG_IDENTITY = 6,
    LOG_QUERY = 7,
};

// The one log of the process, alive from before the entry routine until after it.
CLogFile& TheLogFile();

// Logging never throws: a line that cannot be formatted for lack of memory is
// dropped, so that callers may log on paths that must not unwind.
void LogPrintf(int level, const wchar_t* format, ...) noexcept;
void LogPrintf(CLogFile& log, int level, const wchar_t* format, ...) noexcept;
void LogMessage(const wchar_t* text) noexcept;
