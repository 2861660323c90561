#include "LogCapture.h"
#include "config/Options.h"
#include "identifiers/ComputerIdentity.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>

namespace
{
std::wstring ReadText(const wchar_t* name)
{
    wchar_t data[256] = {};
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, OPTIONS_KEY, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

std::wstring Braced(const GUID& uuid)
{
    wchar_t text[40] = {};
    StringFromGUID2(uuid, text, 40);
    return text;
}

void WriteRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, OPTIONS_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

void WriteText(const wchar_t* name, const std::wstring& text)
{
    WriteRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

size_t Count(const std::vector<std::string>& lines, const std::string& prefix)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

class MachineUUIDTest : public ::testing::Test
{
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, OPTIONS_KEY); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, OPTIONS_KEY); }

    COMPUTER_IDENTITY Update(const wchar_t* name)
    {
        COMPUTER_IDENTITY computer;
        computer.Name = name;
        UpdateMachineUUID(computer);
        return computer;
    }

    CLogCapture m_Log;
};
} // namespace

TEST(MachineId, Md5OverTheFirstNBytesOfTheUtf16Name)
{
    // "PC-7" in UTF-16LE is 50 00 43 00 2D 00 37 00; its first four bytes are
    // "P\0C\0", whose MD5 is this.
    EXPECT_EQ(MachineIdFor(L"PC-7"), L"CD6932997E38CDFDCCE4187A559CC9F9");
    EXPECT_EQ(MachineIdFor(L"").size(), 32u);
}

TEST_F(MachineUUIDTest, FirstRunGeneratesLogsAndStores)
{
    COMPUTER_IDENTITY computer = Update(L"pc-7");
    EXPECT_EQ(computer.Name, L"PC-7");
    EXPECT_NE(Braced(computer.MachineUUID), Braced(GUID{}));
    EXPECT_EQ(ReadText(L"Machine ID"), MachineIdFor(L"PC-7"));
    EXPECT_EQ(ReadText(L"Machine UUID"), Braced(computer.MachineUUID));
    EXPECT_EQ(ReadText(L"Machine UUID").size(), 38u);
    auto lines = m_Log.Lines();
    ASSERT_EQ(Count(lines, "Computer Identity: Generating a new Computer UUID = {"), 1u);
    std::wstring unbraced = Braced(computer.MachineUUID).substr(1, 36);
    std::string expected =
        "Computer Identity: Generating a new Computer UUID = {" + std::string(unbraced.begin(), unbraced.end()) + "}";
    EXPECT_TRUE(std::find_if(lines.begin(), lines.end(),
                             [&](const std::string& line)
                             { return _stricmp(line.c_str(), expected.c_str()) == 0; }) != lines.end());
}

TEST_F(MachineUUIDTest, SameNameKeepsTheUuidAndAChangedNameGetsANewOne)
{
    GUID first = Update(L"PC-7").MachineUUID;
    GUID again = Update(L"pc-7").MachineUUID;
    EXPECT_EQ(Braced(again), Braced(first));
    EXPECT_EQ(Count(m_Log.Lines(), "Computer Identity: Generating"), 1u);

    // The machine ID only covers the first half of an ASCII name, so a
    // rename counts only when that half changes.
    Update(L"PC-8");
    EXPECT_EQ(Count(m_Log.Lines(), "Computer Identity: Generating"), 1u);
    GUID renamed = Update(L"DESK-7").MachineUUID;
    EXPECT_NE(Braced(renamed), Braced(first));
    EXPECT_EQ(ReadText(L"Machine ID"), MachineIdFor(L"DESK-7"));
    EXPECT_EQ(ReadText(L"Machine UUID"), Braced(renamed));
    EXPECT_EQ(Count(m_Log.Lines(), "Computer Identity: Generating"), 2u);
}

TEST_F(MachineUUIDTest, MalformedUuidIsReplacedNotKeptAsZero)
{
    Update(L"PC-7");
    const std::wstring malformed[] = {L"12345678-1234-1234-1234-123456789012", L"{not-a-guid}", L""};
    for (const auto& text : malformed)
    {
        WriteText(L"Machine UUID", text);
        COMPUTER_IDENTITY computer = Update(L"PC-7");
        EXPECT_NE(Braced(computer.MachineUUID), Braced(GUID{}));
        EXPECT_EQ(ReadText(L"Machine UUID"), Braced(computer.MachineUUID));
    }
    DWORD number = 7;
    WriteRaw(L"Machine UUID", REG_DWORD, &number, sizeof(number));
    EXPECT_NE(Braced(Update(L"PC-7").MachineUUID), Braced(GUID{}));
    EXPECT_EQ(Count(m_Log.Lines(), "Computer Identity: Generating"), 5u);
}

TEST_F(MachineUUIDTest, ReadMachineUUIDResults)
{
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, OPTIONS_KEY, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    GUID uuid;
    EXPECT_EQ(ReadMachineUUID(key, uuid), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    WriteText(L"Machine UUID", L"{00112233-4455-6677-8899-AABBCCDDEEFF}");
    EXPECT_EQ(ReadMachineUUID(key, uuid), 0u);
    EXPECT_EQ(Braced(uuid), L"{00112233-4455-6677-8899-AABBCCDDEEFF}");
    WriteText(L"Machine UUID", L"00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(ReadMachineUUID(key, uuid), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Braced(uuid), Braced(GUID{}));
    RegCloseKey(key);
}

TEST_F(MachineUUIDTest, EmptyNameDoesNothing)
{
    COMPUTER_IDENTITY computer = Update(L"");
    EXPECT_EQ(Braced(computer.MachineUUID), Braced(GUID{}));
    EXPECT_EQ(ReadText(L"Machine UUID"), L"<missing>");
}
