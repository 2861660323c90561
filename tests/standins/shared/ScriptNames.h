#pragma once

// Where tests script the stand-in DLLs. The stand-ins read these keys on every
// call, so a test changes their behaviour from outside the process under test.
namespace ScriptNames
{
constexpr wchar_t RootKey[] = L"SOFTWARE\\Kestrin Test";

constexpr wchar_t WtsKey[] = L"SOFTWARE\\Kestrin Test\\WTS";
constexpr wchar_t SessionsKey[] = L"SOFTWARE\\Kestrin Test\\WTS\\Sessions";
constexpr wchar_t EnumerateError[] = L"EnumerateError";
constexpr wchar_t State[] = L"State";
constexpr wchar_t Protocol[] = L"Protocol";
constexpr wchar_t WinStationName[] = L"WinStationName";
constexpr wchar_t UserName[] = L"UserName";
constexpr wchar_t DomainName[] = L"DomainName";
constexpr wchar_t QueryError[] = L"QueryError";
constexpr wchar_t QueryErrorClass[] = L"QueryErrorClass";
constexpr wchar_t TokenError[] = L"TokenError";

constexpr wchar_t IpHelperKey[] = L"SOFTWARE\\Kestrin Test\\IPHelper";
constexpr wchar_t AdaptersKey[] = L"SOFTWARE\\Kestrin Test\\IPHelper\\Adapters";
constexpr wchar_t AdaptersError[] = L"AdaptersError";
constexpr wchar_t AdaptersFault[] = L"AdaptersFault";
constexpr wchar_t Change[] = L"Change";
constexpr wchar_t AdapterName[] = L"AdapterName";
constexpr wchar_t Description[] = L"Description";
constexpr wchar_t FriendlyName[] = L"FriendlyName";
constexpr wchar_t IfType[] = L"IfType";
constexpr wchar_t OperStatus[] = L"OperStatus";
constexpr wchar_t Addresses[] = L"Addresses";

// How often each scripted function was called, one REG_DWORD per function, so
// a test can prove that a call was not made.
constexpr wchar_t CallsKey[] = L"SOFTWARE\\Kestrin Test\\Calls";

constexpr wchar_t AdsiKey[] = L"SOFTWARE\\Kestrin Test\\ADSI";
constexpr wchar_t AdsiNamesKey[] = L"SOFTWARE\\Kestrin Test\\ADSI\\Names";
constexpr wchar_t AdsiObjectsKey[] = L"SOFTWARE\\Kestrin Test\\ADSI\\Objects";
constexpr wchar_t InitError[] = L"InitError";
constexpr wchar_t GetError[] = L"GetError";

constexpr wchar_t NetApiKey[] = L"SOFTWARE\\Kestrin Test\\NetAPI";
constexpr wchar_t ControllersKey[] = L"SOFTWARE\\Kestrin Test\\NetAPI\\Controllers";
constexpr wchar_t GroupsKey[] = L"SOFTWARE\\Kestrin Test\\NetAPI\\Groups";

constexpr wchar_t EventSystemKey[] = L"SOFTWARE\\Kestrin Test\\EventSystem";
constexpr wchar_t SubscriptionsKey[] = L"SOFTWARE\\Kestrin Test\\EventSystem\\Subscriptions";
constexpr wchar_t StoreError[] = L"StoreError";
constexpr wchar_t RemoveError[] = L"RemoveError";
constexpr wchar_t Fire[] = L"Fire";
constexpr wchar_t Fired[] = L"Fired";
// What the event system stored, one key per subscription under SubscriptionsKey.
constexpr wchar_t SubscriptionName[] = L"SubscriptionName";
constexpr wchar_t EventClassID[] = L"EventClassID";
constexpr wchar_t MethodName[] = L"MethodName";
constexpr wchar_t PublisherID[] = L"PublisherID";
constexpr wchar_t Subscriber[] = L"Subscriber";
constexpr wchar_t PerUser[] = L"PerUser";

constexpr wchar_t NovellKey[] = L"SOFTWARE\\Kestrin Test\\Novell";
// One REG_DWORD per function: its result instead of its work.
constexpr wchar_t NovellErrorsKey[] = L"SOFTWARE\\Kestrin Test\\Novell\\Errors";
// One key per directory object, with a REG_MULTI_SZ per attribute.
constexpr wchar_t NovellObjectsKey[] = L"SOFTWARE\\Kestrin Test\\Novell\\Objects";
// Written by the stand-in: what the client was last asked for.
constexpr wchar_t NovellSeenKey[] = L"SOFTWARE\\Kestrin Test\\Novell\\Seen";
constexpr wchar_t CallsInitFailures[] = L"CallsInitFailures";
constexpr wchar_t Tree[] = L"Tree";
constexpr wchar_t WhoAmI[] = L"WhoAmI";
constexpr wchar_t NameContext[] = L"NameContext";
constexpr wchar_t Read[] = L"Read";
} // namespace ScriptNames
