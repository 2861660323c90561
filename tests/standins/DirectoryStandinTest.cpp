// The activeds.dll stand-in, loaded in place of Wine's (WINEDLLOVERRIDES=
// activeds=n,b) and as the prefix's NameTranslate class, answers a client as
// Windows documents and as the test scripted it.
#include "standins/DirectoryControl.h"
#include "standins/activeds/OleHolders.h"

#include <windows.h>

// iads.h, then adshlp.h, which needs its declarations.
#include <activeds.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// The program's import table entry, which MinGW's import library names.
extern "C" void* __imp_ADsGetObject;

namespace
{
const HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_DS_NAME_ERROR_NOT_FOUND);
const HRESULT NoSuchObject = HRESULT_FROM_WIN32(ERROR_DS_NO_SUCH_OBJECT);
const HRESULT NotReady = HRESULT_FROM_WIN32(ERROR_NOT_READY);
const HRESULT NoDomain = HRESULT_FROM_WIN32(ERROR_NO_SUCH_DOMAIN);
const wchar_t Bob[] = L"CN=bob,OU=Sales,DC=corp,DC=example";
const wchar_t BobPath[] = L"LDAP://CN=bob\\, jr.,OU=Sales\\/East,DC=corp,DC=example";

std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

// The activeds.dll the program imports ADsGetObject from. By name, Wine's
// loader may answer with Wine's own, which the stand-in loads as well.
HMODULE ImportedModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(__imp_ADsGetObject), &module);
    return module;
}

CBstr Bstr(const wchar_t* text) { return CBstr(SysAllocString(text)); }

class DirectoryStandinTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { RegisterStandinClass(CLSID_NameTranslate, ExeFolder() + L"\\activeds.dll"); }
    static void TearDownTestSuite() { UnregisterStandinClass(CLSID_NameTranslate); }
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }

    static CComRef<IADsNameTranslate> CreateTranslator()
    {
        CComRef<IADsNameTranslate> translator;
        EXPECT_EQ(CoCreateInstance(CLSID_NameTranslate, nullptr, CLSCTX_INPROC_SERVER, IID_IADsNameTranslate,
                                   translator.PutVoid()),
                  S_OK);
        return translator;
    }

    // The error of the whole translation, with the distinguished name on success.
    static HRESULT Translate(long type, const wchar_t* name, std::wstring& distinguishedName)
    {
        CComRef<IADsNameTranslate> translator = CreateTranslator();
        if (!translator)
            return E_UNEXPECTED;
        HRESULT result = translator->Init(ADS_NAME_INITTYPE_GC, nullptr);
        if (SUCCEEDED(result))
            result = translator->Set(type, Bstr(name).Get());
        CBstr translated;
        if (SUCCEEDED(result))
            result = translator->Get(ADS_NAME_TYPE_1779, translated.Put());
        distinguishedName = translated ? translated.Get() : L"";
        return result;
    }

    static HRESULT GetMemberOf(const wchar_t* path, CVariant& value)
    {
        CComRef<IADs> object;
        HRESULT result = ADsGetObject(path, IID_IADs, object.PutVoid());
        return SUCCEEDED(result) ? object->Get(Bstr(L"memberOf").Get(), value.Put()) : result;
    }

    CDirectoryScript m_Script;
};

TEST_F(DirectoryStandinTest, LoadsFromBesideTheProgram)
{
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(ImportedModule(), path, MAX_PATH), 0u);
    // The loader keeps the case of the import table's name.
    std::wstring expected = ExeFolder() + L"\\activeds.dll";
    EXPECT_EQ(CompareStringOrdinal(path, -1, expected.c_str(), -1, TRUE), CSTR_EQUAL) << path;
}

TEST_F(DirectoryStandinTest, WineAnswersForItsOtherClassesAndHelpers)
{
    HMODULE standin = nullptr;
    ASSERT_TRUE(
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(__imp_ADsGetObject), &standin));
    auto getClassObject = reinterpret_cast<decltype(&DllGetClassObject)>(
        reinterpret_cast<void*>(GetProcAddress(standin, "DllGetClassObject")));
    ASSERT_TRUE(getClassObject);
    CComRef<IClassFactory> factory;
    ASSERT_EQ(getClassObject(CLSID_Pathname, IID_IClassFactory, factory.PutVoid()), S_OK);
    CComRef<IADsPathname> pathname;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IADsPathname, pathname.PutVoid()), S_OK);
    EXPECT_EQ(pathname->Set(Bstr(L"LDAP://CN=bob,DC=corp").Get(), ADS_SETTYPE_FULL), S_OK);

    wchar_t name[] = L"CN=bob";
    LPWSTR names[] = {name};
    CVariant array;
    EXPECT_EQ(ADsBuildVarArrayStr(names, 1, array.Put()), S_OK);
    EXPECT_EQ(array.Get().vt, VT_ARRAY | VT_VARIANT);
}

TEST_F(DirectoryStandinTest, TranslatesScriptedNames)
{
    ScriptTranslatedName(L"CORP\\bob", Bob);
    ScriptTranslatedName(L"S-1-5-21-1-2-3-1104", Bob);
    ScriptTranslateError(L"CORP\\PC1$", NoDomain);
    struct CASE
    {
        long Type;
        const wchar_t* Name;
        HRESULT Result;
        const wchar_t* DistinguishedName;
    };
    for (const CASE& c :
         {CASE{ADS_NAME_TYPE_NT4, L"CORP\\bob", S_OK, Bob}, CASE{ADS_NAME_TYPE_NT4, L"corp\\BOB", S_OK, Bob},
          CASE{ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME, L"S-1-5-21-1-2-3-1104", S_OK, Bob},
          CASE{ADS_NAME_TYPE_UNKNOWN, L"S-1-5-21-1-2-3-1104", S_OK, Bob},
          CASE{ADS_NAME_TYPE_NT4, L"CORP\\alice", NotFound, L""},
          CASE{ADS_NAME_TYPE_NT4, L"S-1-5-21-1-2-3-1104", NotFound, L""},
          CASE{ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME, L"CORP\\bob", NotFound, L""},
          CASE{ADS_NAME_TYPE_NT4, L"CORP\\PC1$", NoDomain, L""}, CASE{0, L"CORP\\bob", E_ADS_BAD_PARAMETER, L""}})
    {
        std::wstring distinguishedName;
        EXPECT_EQ(Translate(c.Type, c.Name, distinguishedName), c.Result) << c.Type << " " << c.Name;
        EXPECT_EQ(distinguishedName, c.DistinguishedName);
    }
}

TEST_F(DirectoryStandinTest, TranslatorNeedsInitAndAName)
{
    ScriptTranslatedName(L"CORP\\bob", Bob);
    CComRef<IADsNameTranslate> translator = CreateTranslator();
    ASSERT_TRUE(translator);
    CComRef<IADs> notTranslator;
    EXPECT_EQ(translator->QueryInterface(IID_IADs, notTranslator.PutVoid()), E_NOINTERFACE);
    CBstr translated;
    EXPECT_EQ(translator->Set(ADS_NAME_TYPE_NT4, Bstr(L"CORP\\bob").Get()), NotReady);
    ScriptInitError(NoDomain);
    EXPECT_EQ(translator->Init(ADS_NAME_INITTYPE_GC, nullptr), NoDomain);
    EXPECT_EQ(translator->Set(ADS_NAME_TYPE_NT4, Bstr(L"CORP\\bob").Get()), NotReady);
    ScriptInitError(S_OK);
    EXPECT_EQ(translator->Init(7, nullptr), E_ADS_BAD_PARAMETER);
    EXPECT_EQ(translator->Init(ADS_NAME_INITTYPE_DOMAIN, Bstr(L"corp.example").Get()), S_OK);
    EXPECT_EQ(translator->Get(ADS_NAME_TYPE_1779, translated.Put()), NotReady);
    EXPECT_EQ(translator->Set(ADS_NAME_TYPE_NT4, Bstr(L"CORP\\bob").Get()), S_OK);
    EXPECT_EQ(translator->Get(ADS_NAME_TYPE_1779, translated.Put()), S_OK);
    EXPECT_EQ(translator->Get(ADS_NAME_TYPE_NT4, translated.Put()), E_NOTIMPL);
}

TEST_F(DirectoryStandinTest, BindsScriptedObjects)
{
    ScriptDirectoryObject(L"LDAP://CN=none");
    ScriptDirectoryObject(BobPath, L"CN=Sales,DC=corp,DC=example");
    ScriptDirectoryObjectList(L"LDAP://CN=list", {L"CN=A,DC=corp", L"#42", L"CN=B,DC=corp"});
    ScriptDirectoryObjectList(L"LDAP://CN=empty", {});
    ScriptDirectoryObjectError(L"LDAP://CN=refused", E_ACCESSDENIED);

    CVariant value;
    EXPECT_EQ(GetMemberOf(L"LDAP://CN=none", value), E_ADS_PROPERTY_NOT_FOUND);
    EXPECT_EQ(GetMemberOf(L"LDAP://CN=refused", value), E_ACCESSDENIED);
    EXPECT_EQ(GetMemberOf(L"LDAP://CN=nobody", value), NoSuchObject);
    ASSERT_EQ(GetMemberOf(BobPath, value), S_OK);
    ASSERT_EQ(value.Get().vt, VT_BSTR);
    EXPECT_STREQ(value.Get().bstrVal, L"CN=Sales,DC=corp,DC=example");

    ASSERT_EQ(GetMemberOf(L"ldap://cn=LIST", value), S_OK);
    ASSERT_EQ(value.Get().vt, VT_ARRAY | VT_VARIANT);
    SAFEARRAY* array = value.Get().parray;
    ASSERT_EQ(SafeArrayGetDim(array), 1u);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    ASSERT_EQ(lower, 0);
    ASSERT_EQ(upper, 2);
    const VARIANT* items = static_cast<const VARIANT*>(array->pvData);
    EXPECT_EQ(items[0].vt, VT_BSTR);
    EXPECT_STREQ(items[0].bstrVal, L"CN=A,DC=corp");
    EXPECT_EQ(items[1].vt, VT_I4);
    EXPECT_EQ(items[1].lVal, 42);
    EXPECT_STREQ(items[2].bstrVal, L"CN=B,DC=corp");

    ASSERT_EQ(GetMemberOf(L"LDAP://CN=empty", value), S_OK);
    ASSERT_EQ(value.Get().vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(value.Get().parray->rgsabound[0].cElements, 0u);
}

TEST_F(DirectoryStandinTest, ObjectAnswersOnlyMemberOfAndItsPath)
{
    ScriptDirectoryObject(BobPath, L"CN=Sales,DC=corp,DC=example");
    CComRef<IADs> object;
    ASSERT_EQ(ADsGetObject(BobPath, IID_IADs, object.PutVoid()), S_OK);
    CComRef<IADsNameTranslate> other;
    EXPECT_EQ(object->QueryInterface(IID_IADsNameTranslate, other.PutVoid()), E_NOINTERFACE);
    EXPECT_EQ(ADsGetObject(BobPath, IID_IADsNameTranslate, other.PutVoid()), E_NOINTERFACE);
    EXPECT_EQ(ADsGetObject(nullptr, IID_IADs, other.PutVoid()), E_INVALIDARG);
    EXPECT_EQ(ADsGetObject(BobPath, IID_IADs, nullptr), E_POINTER);
    CBstr path;
    ASSERT_EQ(object->get_ADsPath(path.Put()), S_OK);
    EXPECT_STREQ(path.Get(), BobPath);

    CVariant value;
    EXPECT_EQ(object->Get(Bstr(L"MEMBEROF").Get(), value.Put()), S_OK);
    EXPECT_EQ(object->Get(Bstr(L"cn").Get(), value.Put()), E_ADS_PROPERTY_NOT_FOUND);
    ScriptGetError(E_ADS_CANT_CONVERT_DATATYPE);
    EXPECT_EQ(object->Get(Bstr(L"memberOf").Get(), value.Put()), E_ADS_CANT_CONVERT_DATATYPE);
}

TEST_F(DirectoryStandinTest, CountsEveryCall)
{
    ScriptTranslatedName(L"CORP\\bob", Bob);
    std::wstring distinguishedName;
    Translate(ADS_NAME_TYPE_NT4, L"CORP\\bob", distinguishedName);
    Translate(ADS_NAME_TYPE_NT4, L"CORP\\alice", distinguishedName);
    ScriptDirectoryObject(L"LDAP://CN=none");
    CVariant value;
    GetMemberOf(L"LDAP://CN=nobody", value);
    GetMemberOf(L"LDAP://CN=none", value);
    EXPECT_EQ(ReadCallCount(L"NameTranslate.Init"), 2u);
    EXPECT_EQ(ReadCallCount(L"NameTranslate.Set"), 2u);
    EXPECT_EQ(ReadCallCount(L"NameTranslate.Get"), 1u);
    EXPECT_EQ(ReadCallCount(L"ADsGetObject"), 2u);
    EXPECT_EQ(ReadCallCount(L"IADs.Get"), 1u);
    ClearCallCounts();
    EXPECT_EQ(ReadCallCount(L"ADsGetObject"), 0u);
}
} // namespace
