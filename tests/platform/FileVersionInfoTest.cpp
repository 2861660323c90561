#include "platform/FileVersionInfo.h"

#include "TestSupport.h"

#include <windows.h>

#include <cstdlib>
#include <gtest/gtest.h>

namespace
{
CFileVersionInfo ReadVersion(const std::wstring& path, bool& ok)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    CFileVersionInfo info;
    ok = info.Read(path.c_str(), size);
    return info;
}
} // namespace

TEST(FileVersionInfo, ReadsTheProgramsOwnStrings)
{
    const char* program = std::getenv("KESTRIN_EXE");
    ASSERT_NE(program, nullptr);
    bool ok = false;
    CFileVersionInfo info = ReadVersion(FromHostPath(program), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(info.FileVersion, L"2.1.14.0");
    EXPECT_EQ(info.ProductName, L"User Agent Service");
    EXPECT_EQ(info.FileDescription, L"User Agent Service");
    EXPECT_EQ(info.CompanyName, L"Varnel Systems");
}

TEST(FileVersionInfo, WithoutTranslationTableTheStringsStayEmpty)
{
    bool ok = false;
    CFileVersionInfo info = ReadVersion(TestDataFile(L"NoTranslation.dll"), ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(info.FileVersion, L"");
    EXPECT_EQ(info.ProductName, L"");
}

TEST(FileVersionInfo, FileWithoutResourceFails)
{
    bool ok = true;
    ReadVersion(TestDataFile(L"sample.zip"), ok);
    EXPECT_FALSE(ok);
}
