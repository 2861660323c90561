#include "update/ProgramSwap.h"

#include "LogCapture.h"
#include "TestSupport.h"
#include "common/Handle.h"

#include <windows.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <ostream>

namespace
{
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool Logged(const CLogCapture& log, const std::string& prefix)
{
    auto lines = log.Lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; });
}

struct SwapCase
{
    const char* Name;
    bool ProgramPresent;
    bool NewProgramPresent;
    bool StaleBackup;
    bool Swapped;
    const char* Logged;
};

void PrintTo(const SwapCase& test, std::ostream* out) { *out << test.Name; }

class ProgramSwapTest : public ::testing::TestWithParam<SwapCase>
{
};

TEST_P(ProgramSwapTest, LeavesAProgramInPlace)
{
    const SwapCase& test = GetParam();
    CLogCapture log;
    CTempFolder folder;
    std::wstring program = folder.Path() + L"\\Kestrin.exe";
    std::wstring backup = program + L".old";
    std::wstring newProgram = folder.Path() + L"\\Kestrin.new";
    if (test.ProgramPresent)
        WriteFileBytes(program, "running build");
    if (test.NewProgramPresent)
        WriteFileBytes(newProgram, "new build");
    if (test.StaleBackup)
        WriteFileBytes(backup, "older backup");

    // Held as the update holds it; without the file, no handle at all.
    CHandle held(CreateFileW(newProgram.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ(CProgramSwap(program, backup, newProgram).Swap(held.Get()), test.Swapped);
    held.Close();

    EXPECT_TRUE(Logged(log, test.Logged)) << test.Logged;
    if (test.Swapped)
    {
        EXPECT_EQ(ReadFileBytes(program), "new build");
        EXPECT_EQ(ReadFileBytes(backup), "running build");
        EXPECT_FALSE(Exists(newProgram));
    }
    else if (test.ProgramPresent)
    {
        // The running build is where it was, whatever went wrong.
        EXPECT_EQ(ReadFileBytes(program), "running build");
        EXPECT_FALSE(Exists(backup));
    }
    else
    {
        EXPECT_FALSE(Exists(program));
        EXPECT_EQ(Exists(newProgram), test.NewProgramPresent);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramSwapTest,
    ::testing::Values(
        SwapCase{"Swapped", true, true, false, true, "[*] CUpdate: New service program"},
        SwapCase{"StaleBackupReplaced", true, true, true, true, "[*] CUpdate: Service program"},
        SwapCase{"FailedMoveRestored", true, false, false, false, "[*] CUpdate: Service program backup"},
        SwapCase{"FailedMoveLogged", true, false, true, false, "[!] CUpdate: Unable to move new service program"},
        SwapCase{"NoProgramToBackUp", false, true, false, false, "[!] CUpdate: Unable to backup service program"}),
    [](const ::testing::TestParamInfo<SwapCase>& info) { return std::string(info.param.Name); });
} // namespace
