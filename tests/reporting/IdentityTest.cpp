#include "reporting/Identity.h"

#include "LogCapture.h"
#include "diag/Exception.h"
#include "identifiers/IdentLdap.h"
#include "identifiers/IdentNovell.h"
#include "platform/Thread.h"

#include <cstring>
#include <gtest/gtest.h>

namespace
{
USER_IDENTITY SomeUser(const wchar_t* name)
{
    USER_IDENTITY user;
    user.Flags = USER_NAME_VALID | USER_GROUPS_VALID;
    user.Name = name;
    user.Domain = L"CORP";
    user.Groups = {{L"Staff", L"CN=Staff,DC=corp"}, {L"Sales", L"CN=Sales,DC=corp"}};
    return user;
}
} // namespace

namespace
{
// Replaces the identity with a user whose only group name lies where nobody
// may read: the copy made under the identity lock faults, as a corrupted
// record would.
class CPoisonedReplacement : public CThread
{
public:
    explicit CPoisonedReplacement(CIdentity& identity) : CThread(L"CPoisonedReplacement"), m_Identity(identity) {}

protected:
    DWORD ThreadProc() override
    {
        USER_IDENTITY user;
        user.Groups.resize(1);
        // The layout of a long string: text pointer, length, capacity.
        struct
        {
            const wchar_t* Text;
            size_t Length;
            size_t Capacity;
            size_t Spare;
        } unreadable{reinterpret_cast<const wchar_t*>(0x10), 40, 40, 0};
        static_assert(sizeof(unreadable) == sizeof(std::wstring));
        std::memcpy(static_cast<void*>(&user.Groups[0].Name), &unreadable, sizeof(unreadable));
        IDENTITY out;
        m_Identity.GetIdentity(out, nullptr, nullptr, &user);
        return 0;
    }

private:
    CIdentity& m_Identity;
};
} // namespace

// The fault leaves the identity lock owned; the process ends rather than go
// on with every later identification and query waiting for that lock.
TEST(IdentityDeathTest, FaultWhileHoldingTheIdentityLockEndsTheProcess)
{
    CDeathLog log(L"identity-lock");
    auto faultUnderTheLock = [&]
    {
        log.Open();
        CIdentity identity(nullptr);
        CPoisonedReplacement thread(identity);
        thread.Start();
        thread.Join(INFINITE);
        ExitProcess(0);
    };
    EXPECT_EXIT(faultUnderTheLock(), ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
    EXPECT_NE(log.Text().find(") CPoisonedReplacement: Exception 0xc0000005 at 0x"), std::string::npos) << log.Text();
}

TEST(AgentVersion, FromTheFileVersionText)
{
    AGENT_VERSION version = AgentVersionFrom(L"2.01.14");
    EXPECT_EQ(version.Flags, 1u);
    EXPECT_EQ(version.Kind, 16);
    EXPECT_EQ(version.Major, 2);
    EXPECT_EQ(version.Minor, 1);
    EXPECT_EQ(version.Build, 14);
    EXPECT_EQ(version.Packed, 0x20040Eu);

    AGENT_VERSION wide = AgentVersionFrom(L"300.1.2.0");
    EXPECT_EQ(wide.Major, 44); // each component cut to 8 bits
    EXPECT_EQ(wide.Packed, (44u << 20) | (1u << 10) | 2u);

    for (const wchar_t* text : {L"2.1", L"", L"7"})
    {
        AGENT_VERSION partial = AgentVersionFrom(text);
        EXPECT_EQ(partial.Flags, 1u);
        EXPECT_EQ(partial.Kind, 16);
        EXPECT_EQ(partial.Packed, 0u);
        EXPECT_EQ(partial.Major + partial.Minor + partial.Build, 0);
    }
}

TEST(OSCode, FamilyTable)
{
    struct Case
    {
        DWORD Major, Minor;
        BYTE ProductType;
        uint8_t Code;
    };
    const Case cases[] = {
        {5, 0, 1, 0}, {5, 1, 1, 1}, {5, 1, 3, 1}, {5, 2, 1, 2}, {5, 2, 3, 2}, {6, 0, 1, 4}, {6, 0, 3, 5},
        {6, 1, 1, 7}, {6, 1, 2, 6}, {6, 1, 3, 6}, {6, 2, 1, 8}, {6, 2, 3, 0}, {6, 3, 1, 0}, {10, 0, 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OSCodeFor(c.Major, c.Minor, c.ProductType), c.Code)
            << c.Major << "." << c.Minor << "/" << int(c.ProductType);
}

TEST(IdentitySnapshot, ReadingChangesNothing)
{
    CIdentity identity(nullptr);
    USER_IDENTITY user = SomeUser(L"bob");
    DWORD session = 3;
    IDENTITY first;
    identity.GetIdentity(first, nullptr, nullptr, &user, &session);

    IDENTITY second;
    identity.GetIdentity(second);
    EXPECT_EQ(second.User.Name, L"bob");
    EXPECT_EQ(second.User.Groups.size(), 2u);
    EXPECT_EQ(second.User.Groups[1].DN, L"CN=Sales,DC=corp");
    EXPECT_EQ(identity.UserSessionId(), 3u);
}

TEST(IdentitySnapshot, PartialReplacementsKeepTheOtherParts)
{
    CIdentity identity(nullptr);
    EXPECT_EQ(identity.UserSessionId(), NO_USER_SESSION);
    AGENT_VERSION agent = AgentVersionFrom(L"2.1.14.0");
    COMPUTER_IDENTITY computer;
    computer.Name = L"PC-7";
    computer.Flags = COMPUTER_NAME_VALID;
    USER_IDENTITY alice = SomeUser(L"alice");
    IDENTITY snapshot;
    identity.GetIdentity(snapshot, &agent, &computer, &alice);
    EXPECT_EQ(snapshot.Agent.Packed, agent.Packed);
    EXPECT_EQ(snapshot.Computer.Name, L"PC-7");

    // A user replaces the whole user record, groups included.
    USER_IDENTITY bob;
    bob.Flags = USER_NAME_VALID;
    bob.Name = L"bob";
    identity.GetIdentity(snapshot, nullptr, nullptr, &bob);
    EXPECT_EQ(snapshot.User.Name, L"bob");
    EXPECT_EQ(snapshot.User.Domain, L"");
    EXPECT_TRUE(snapshot.User.Groups.empty());
    EXPECT_EQ(snapshot.User.Flags, static_cast<uint32_t>(USER_NAME_VALID));
    EXPECT_EQ(snapshot.Agent.Packed, agent.Packed);
    EXPECT_EQ(snapshot.Computer.Name, L"PC-7");
    EXPECT_EQ(identity.UserSessionId(), NO_USER_SESSION);
}

TEST(IdentityInitialize, UnknownUserTypeThrowsAndCreatesNoIdentifier)
{
    CIdentity identity(nullptr);
    try
    {
        identity.Initialize(4);
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, 0u);
        EXPECT_EQ(exception.Message, L"[!] CIdentity::Initialize: Unhandled user type 4");
    }
    EXPECT_EQ(identity.Identifier(), nullptr);
    EXPECT_EQ(identity.CurrentUserKey(), L"SOFTWARE\\Varnel Systems\\User Agent\\Current User");
}

TEST(IdentityInitialize, ActiveDirectoryTypeCreatesTheIdentifier)
{
    CIdentity identity(nullptr);
    identity.Initialize(CIdentity::USER_TYPE_ACTIVE_DIRECTORY);
    EXPECT_NE(identity.Identifier(), nullptr);
    EXPECT_EQ(identity.UserType(), 1u);
    EXPECT_NE(identity.OSVersion().dwMajorVersion, 0u);

    COMPUTER_IDENTITY computer;
    identity.GetComputerIdentity(computer);
    EXPECT_EQ(computer.Flags & (COMPUTER_OS_VALID | COMPUTER_NAME_VALID),
              static_cast<uint32_t>(COMPUTER_OS_VALID | COMPUTER_NAME_VALID));
    EXPECT_EQ(computer.OSMajor, identity.OSVersion().dwMajorVersion);
    EXPECT_EQ(computer.OSCode, OSCodeFor(computer.OSMajor, computer.OSMinor, computer.ProductType));
    EXPECT_FALSE(computer.Name.empty());
}

TEST(IdentityInitialize, DirectoryTypesGetTheirIdentifiers)
{
    CIdentity novell(nullptr);
    novell.Initialize(CIdentity::USER_TYPE_NOVELL);
    EXPECT_NE(dynamic_cast<CIdentNovell*>(novell.Identifier()), nullptr);
    CIdentity ldap(nullptr);
    ldap.Initialize(CIdentity::USER_TYPE_LDAP);
    EXPECT_NE(dynamic_cast<CIdentLdap*>(ldap.Identifier()), nullptr);
}
