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

void LogPrintf(int level, const wchar_t* format, ...);
void LogPrintf(CLogFile& log, int level, const wchar_t* format, ...);
void LogMessage(const wchar_t* text);
