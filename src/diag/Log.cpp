#include "diag/Log.h"

#include "common/Format.h"
#include "diag/Exception.h"
#include "diag/LogFile.h"

#include <cstdarg>

namespace
{
CLogFile LogFile;

void WriteFormatted(CLogFile& log, const wchar_t* format, va_list args) noexcept
{
    try
    {
        std::wstring text = FormatStringV(format, args);
        log.WriteLine(text.c_str());
    }
    catch (...)
    {
    }
}
} // namespace

CLogFile& TheLogFile() { return LogFile; }

void LogPrintf(int /*level*/, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    WriteFormatted(LogFile, format, args);
    va_end(args);
}

void LogPrintf(CLogFile& log, int /*level*/, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    WriteFormatted(log, format, args);
    va_end(args);
}

void LogMessage(const wchar_t* text) noexcept
{
    try
    {
        LogFile.WriteLine(text);
    }
    catch (...)
    {
    }
}

void LogException(const wchar_t* context, const CException& exception)
{
    LogPrintf(LOG_ERROR, L"%s\r\n    %s. Error code = %u", context, exception.Message.c_str(),
              (unsigned)exception.Code);
}
