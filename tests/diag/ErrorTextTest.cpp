#include "diag/ErrorText.h"

#include "LogCapture.h"
#include "common/Format.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "diag/LogFile.h"

#include <gtest/gtest.h>

TEST(ErrorText, SystemTextLosesItsFinalPeriodSoTheFixedSuffixReadsCleanly)
{
    CErrorText text(ERROR_ACCESS_DENIED);
    std::wstring line = FormatString(L"[!] X: Failed. %s. Error code = %ld.", text.Text(), 5L);
    EXPECT_EQ(line, L"[!] X: Failed. Access denied. Error code = 5.");
}

TEST(ErrorText, CodeWithoutSystemTextGivesAnEmptyText)
{
    CErrorText text;
    EXPECT_FALSE(text.FromSystemError(0x20001234));
    EXPECT_STREQ(text.Text(), L"");
    EXPECT_EQ(FormatString(L"Failed. %s. Error code = %ld.", text.Text(), 0x1234L), L"Failed. . Error code = 4660.");
}

TEST(ErrorText, LookupReplacesAnEarlierText)
{
    CErrorText text(ERROR_FILE_NOT_FOUND);
    EXPECT_STRNE(text.Text(), L"");
    EXPECT_FALSE(text.FromSystemError(0x20001234));
    EXPECT_STREQ(text.Text(), L"");
}

TEST(ErrorText, FormatResizesToTheFormattedLength)
{
    CErrorText text;
    text.Format(L"%s has %lu generations", L"Kestrin.log", 7UL);
    EXPECT_STREQ(text.Text(), L"Kestrin.log has 7 generations");
    EXPECT_EQ(text.Length(), 29u);
    text.Format(L"%d", 42);
    EXPECT_STREQ(text.Text(), L"42");
    EXPECT_EQ(text.Length(), 2u);
}

// The whole program's format strings use "%s" for wide strings.
TEST(Format, PercentSTakesAWideString)
{
    EXPECT_EQ(FormatString(L"<%s|%5lu|%.2lu|%05lu|0x%lx>", L"wide", 42UL, 3UL, 56UL, 0x1fUL),
              L"<wide|   42|03|00056|0x1f>");
    EXPECT_EQ(FormatString(L"%s", L""), L"");
}

TEST(LogException, ContextThenIndentedMessageAndCode)
{
    CLogCapture log;
    LogException(L"[!] CUserAgent: Exception caught", CException(0, L"Something broke"));
    LogException(L"[!] Ctx", CException(ERROR_ACCESS_DENIED, L"Denied"));
    std::string bytes = log.Text();
    EXPECT_NE(bytes.find(") [!] CUserAgent: Exception caught\r\n    Something broke. Error code = 0\r\n"),
              std::string::npos)
        << bytes;
    EXPECT_NE(bytes.find(") [!] Ctx\r\n    Denied. Error code = 5\r\n"), std::string::npos) << bytes;
}
