#include "common/Handle.h"

#include "platform/RegKey.h"

#include <gtest/gtest.h>

namespace
{
bool IsOpenHandle(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}
} // namespace

TEST(Handle, ClosesWhatItOwnsAndOnlyThat)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        CHandle borrowed(raw, false);
        EXPECT_TRUE(borrowed.IsValid());
    }
    EXPECT_TRUE(IsOpenHandle(raw));
    {
        CHandle owned(raw);
    }
    EXPECT_FALSE(IsOpenHandle(raw));
}

TEST(Handle, NullAndMinusOneBothMeanNone)
{
    CHandle fromNull(nullptr);
    EXPECT_FALSE(fromNull.IsValid());
    EXPECT_EQ(fromNull.Get(), INVALID_HANDLE_VALUE);
    CHandle fromInvalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fromInvalid.IsValid());
}

TEST(Handle, TakeAndMoveHandOwnershipOn)
{
    CHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE raw = first.Get();
    CHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(second.Get(), raw);

    HANDLE taken = second.Take();
    EXPECT_FALSE(second.IsValid());
    EXPECT_TRUE(IsOpenHandle(taken));
    CloseHandle(taken);
}

TEST(Handle, ClosingKeepsTheCallersLastError)
{
    CHandle handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SetLastError(ERROR_ACCESS_DENIED);
    handle.Close();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(handle.IsValid());
}

TEST(RegKey, OpenReportsTheErrorAndLeavesNothingOpen)
{
    CRegKey key;
    EXPECT_EQ(key.Open(L"SOFTWARE\\Kestrin Test Missing Key", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.IsOpen());
    ASSERT_EQ(key.Create(L"SOFTWARE\\Kestrin Test Key", KEY_READ | KEY_WRITE), ERROR_SUCCESS);
    EXPECT_TRUE(key.IsOpen());
    key.Close();
    EXPECT_FALSE(key.IsOpen());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kestrin Test Key");
}
