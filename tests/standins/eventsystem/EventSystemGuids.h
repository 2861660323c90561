#pragma once

#include <windows.h>

// The COM+ event system's and SENS's identifiers. MinGW's libuuid lacks them,
// and the names of eventsys.h and sensevts.h are left free for whoever links
// with a library that has them.
namespace EventSystemGuids
{
// {4E14FBA2-2E22-11D1-9964-00C04FBBB345}
constexpr CLSID EventSystemClass = {0x4e14fba2, 0x2e22, 0x11d1, {0x99, 0x64, 0x00, 0xc0, 0x4f, 0xbb, 0xb3, 0x45}};
// {4E14FB9F-2E22-11D1-9964-00C04FBBB345}
constexpr IID EventSystemInterface = {0x4e14fb9f, 0x2e22, 0x11d1, {0x99, 0x64, 0x00, 0xc0, 0x4f, 0xbb, 0xb3, 0x45}};
// {7542E960-79C7-11D1-88F9-0080C7D771BF}
constexpr CLSID EventSubscriptionClass = {0x7542e960, 0x79c7, 0x11d1, {0x88, 0xf9, 0x00, 0x80, 0xc7, 0xd7, 0x71, 0xbf}};
// {4A6B0E15-2E38-11D1-9965-00C04FBBB345}
constexpr IID EventSubscriptionInterface = {
    0x4a6b0e15, 0x2e38, 0x11d1, {0x99, 0x65, 0x00, 0xc0, 0x4f, 0xbb, 0xb3, 0x45}};

// SENSGUID_EVENTCLASS_LOGON {D5978630-5B9F-11D1-8DD2-00AA004ABD5E}
constexpr GUID SensLogonEventClass = {0xd5978630, 0x5b9f, 0x11d1, {0x8d, 0xd2, 0x00, 0xaa, 0x00, 0x4a, 0xbd, 0x5e}};
// SENSGUID_EVENTCLASS_LOGON2 {D5978650-5B9F-11D1-8DD2-00AA004ABD5E}
constexpr GUID SensLogon2EventClass = {0xd5978650, 0x5b9f, 0x11d1, {0x8d, 0xd2, 0x00, 0xaa, 0x00, 0x4a, 0xbd, 0x5e}};
// ISensLogon {D597BAB3-5B9F-11D1-8DD2-00AA004ABD5E}
constexpr IID SensLogonInterface = {0xd597bab3, 0x5b9f, 0x11d1, {0x8d, 0xd2, 0x00, 0xaa, 0x00, 0x4a, 0xbd, 0x5e}};
// ISensLogon2 {D597BAB4-5B9F-11D1-8DD2-00AA004ABD5E}
constexpr IID SensLogon2Interface = {0xd597bab4, 0x5b9f, 0x11d1, {0x8d, 0xd2, 0x00, 0xaa, 0x00, 0x4a, 0xbd, 0x5e}};

constexpr wchar_t SubscriptionProgID[] = L"EventSystem.EventSubscription";
constexpr wchar_t SubscriptionCollectionProgID[] = L"EventSystem.EventSubscriptionCollection";
constexpr wchar_t EventClassProgID[] = L"EventSystem.EventClass";
constexpr wchar_t EventClassCollectionProgID[] = L"EventSystem.EventClassCollection";
} // namespace EventSystemGuids
