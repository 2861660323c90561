#include "platform/ServerCertificate.h"

#include "platform/CertHolders.h"

namespace
{
// The chain's first problem as the code a policy check reports for it; the
// chain is judged here too rather than left to the policy alone, which not
// every implementation applies to a chain that ends without a root.
DWORD ChainError(DWORD status)
{
    static const struct
    {
        DWORD Flag;
        HRESULT Error;
    } problems[] = {
        {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
        {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
        {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
        {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED},
    };
    for (const auto& problem : problems)
        if (status & problem.Flag)
            return static_cast<DWORD>(problem.Error);
    return status ? static_cast<DWORD>(CERT_E_CHAINING) : ERROR_SUCCESS;
}
} // namespace

DWORD CheckServerCertificate(PCCERT_CONTEXT certificate, const std::wstring& hostName)
{
    if (!certificate)
        return static_cast<DWORD>(CERT_E_CHAINING);
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    CCertChain chain;
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, nullptr, certificate->hCertStore, &parameters,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, chain.Put()))
        return GetLastError();
    DWORD error = ChainError(chain.Get()->TrustStatus.dwErrorStatus);
    if (error != ERROR_SUCCESS)
        return error;

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(hostName.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.Get(), &policy, &status))
        return GetLastError();
    return status.dwError;
}
