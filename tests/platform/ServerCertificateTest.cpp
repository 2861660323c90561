#include "platform/ServerCertificate.h"

#include "TestSupport.h"
#include "platform/CertHolders.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{
// The certificate as a TLS server presents it: the first file, with the
// others (its chain) in the certificate's store.
CCertificate Presented(const std::vector<std::wstring>& files, CCertStore& store)
{
    store.Reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    PCCERT_CONTEXT first = nullptr;
    for (const auto& file : files)
    {
        std::string pem = ReadFileBytes(TestDataFile(L"tls\\" + file));
        BYTE der[8192];
        DWORD size = sizeof(der);
        if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der, &size,
                                  nullptr, nullptr))
            return CCertificate();
        PCCERT_CONTEXT added = nullptr;
        CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS,
                                         first ? nullptr : &added);
        if (!first)
            first = added;
    }
    return CCertificate(first);
}
} // namespace

// The test session trusts ca.pem as this machine's root.
TEST(ServerCertificate, OnlyATrustedChainForTheNamedHostAndServerUsePasses)
{
    const struct
    {
        std::vector<std::wstring> files;
        std::wstring host;
        DWORD expected;
    } cases[] = {
        {{L"server.pem"}, L"localhost", ERROR_SUCCESS},
        {{L"server.pem", L"ca.pem"}, L"LOCALHOST", ERROR_SUCCESS},
        {{L"server.pem"}, L"ldap.corp.example", static_cast<DWORD>(CERT_E_CN_NO_MATCH)},
        {{L"client.pem"}, L"localhost", static_cast<DWORD>(CERT_E_WRONG_USAGE)},
        {{L"stranger.pem", L"stranger-ca.pem"}, L"localhost", static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)},
        {{L"stranger.pem"}, L"localhost", static_cast<DWORD>(CERT_E_CHAINING)},
    };
    for (const auto& test : cases)
    {
        CCertStore store;
        CCertificate certificate = Presented(test.files, store);
        ASSERT_TRUE(certificate) << test.files[0];
        EXPECT_EQ(CheckServerCertificate(certificate.Get(), test.host), test.expected)
            << test.files[0] << " for " << std::string(test.host.begin(), test.host.end());
    }
}
