#include "diag/Log.h"

#include "common/Format.h"
#include "diag/Exception.h"
#include "diag/LogFile.h"

#include <cstdarg>

namespace
{
CLogFile LogFile;
}

CLogFile& TheLogFile() { return LogFile; }

void LogPrintf(int /*level*/, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    LogFile.WriteLine(text.c_str());
}

void LogPrintf(CLogFile& log, int /*level*/, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatStringV(format, args);
    va_end(args);
    log.WriteLine(text.c_str());
}

void LogMessage(const wchar_t* text) { LogFile.WriteLine(text); }

void LogException(const wchar_t* context, const CException& exception)
{
    LogPrintf(LOG_ERROR, L"%s\r\n    %s. Error code = %u", context, exception.Message.c_str(),
              (unsigned)exception.Code);
}
