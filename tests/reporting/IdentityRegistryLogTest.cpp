#include "config/Options.h"
#include "reporting/Identity.h"

#include <gtest/gtest.h>
#include <string>

namespace
{
constexpr wchar_t CurrentUserKey[] = L"SOFTWARE\\Varnel Systems\\User Agent\\Current User";

struct VALUE
{
    DWORD Type = 0;
    std::string Bytes;
};

VALUE Read(const wchar_t* name)
{
    VALUE value;
    BYTE data[1024];
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, CurrentUserKey, name, RRF_RT_ANY | RRF_NOEXPAND, &value.Type, data, &size) ==
        ERROR_SUCCESS)
        value.Bytes.assign(reinterpret_cast<char*>(data), size);
    return value;
}

std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

class RegLogIdentTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, CurrentUserKey);
        m_Identity.Initialize(CIdentity::USER_TYPE_ACTIVE_DIRECTORY);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, CurrentUserKey); }

    CIdentity m_Identity{nullptr};
};
} // namespace

TEST_F(RegLogIdentTest, ValuesByteForByte)
{
    COMPUTER_IDENTITY computer;
    computer.Name = L"PC-7";
    computer.Domain = L"CORP";
    USER_IDENTITY user;
    user.Name = L"bob";
    user.Groups = {{L"A", L"CN=A"}, {L"B", L"CN=B"}};
    m_Identity.RegLogIdent(&computer, &user);

    EXPECT_EQ(Read(L"Computer Name").Type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Read(L"Computer Name").Bytes, Utf16(std::wstring(L"PC-7") + L'\0'));
    EXPECT_EQ(Read(L"Computer Domain").Bytes, Utf16(std::wstring(L"CORP") + L'\0'));
    // Empty fields are a lone terminator, never a missing value.
    EXPECT_EQ(Read(L"Computer DN").Bytes, std::string(2, '\0'));
    EXPECT_EQ(Read(L"Computer OU").Bytes, std::string(2, '\0'));
    EXPECT_EQ(Read(L"User Name").Bytes, Utf16(std::wstring(L"bob") + L'\0'));
    EXPECT_EQ(Read(L"User Domain").Bytes, std::string(2, '\0'));
    EXPECT_EQ(Read(L"User DN").Type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Read(L"User OU").Bytes, std::string(2, '\0'));

    VALUE names = Read(L"User Group Names");
    EXPECT_EQ(names.Type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(names.Bytes, Utf16(std::wstring(L"A\0B\0\0", 5)));
    EXPECT_EQ(names.Bytes.size(), 10u);
    EXPECT_EQ(Read(L"User Group DNs").Bytes, Utf16(std::wstring(L"CN=A\0CN=B\0\0", 11)));
}

TEST_F(RegLogIdentTest, NoGroupsIsASingleTerminatorAndUserOnlyKeepsTheComputer)
{
    COMPUTER_IDENTITY computer;
    computer.Name = L"PC-7";
    USER_IDENTITY user;
    user.Name = L"alice";
    user.Groups = {{L"A", L"CN=A"}};
    m_Identity.RegLogIdent(&computer, &user);

    USER_IDENTITY loggedOff;
    m_Identity.RegLogIdent(nullptr, &loggedOff);
    EXPECT_EQ(Read(L"User Name").Bytes, std::string(2, '\0'));
    EXPECT_EQ(Read(L"User Group Names").Bytes, std::string(2, '\0'));
    EXPECT_EQ(Read(L"User Group DNs").Bytes, std::string(2, '\0'));
    EXPECT_EQ(Read(L"Computer Name").Bytes, Utf16(std::wstring(L"PC-7") + L'\0'));
}
