#include "platform/Authenticode.h"

#include "common/Format.h"
#include "common/StringConvert.h"
#include "common/UniqueResource.h"
#include "platform/CertHolders.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace
{
constexpr DWORD Encodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Far beyond any real signature; a table that claims more is not one.
constexpr DWORD MaxSignatureBytes = 1 << 20;

inline void CloseMessage(HCRYPTMSG message) { CryptMsgClose(message); }
using CCryptMessage = CUniqueResource<HCRYPTMSG, CloseMessage>;

bool ReadAt(HANDLE file, ULONGLONG offset, void* data, DWORD size)
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, data, size, &read, &position) && read == size;
}

// The certificate table's place in the file (its "address" is a file
// offset); false for a file that is not a PE image.
bool FindCertificateTable(HANDLE file, IMAGE_DATA_DIRECTORY& table)
{
    IMAGE_DOS_HEADER dos{};
    if (!ReadAt(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0)
        return false;
    IMAGE_NT_HEADERS64 headers{};
    // A 32-bit image's headers are shorter; what follows them is read too
    // and ignored.
    if (!ReadAt(file, static_cast<ULONGLONG>(dos.e_lfanew), &headers, sizeof(headers)) ||
        headers.Signature != IMAGE_NT_SIGNATURE)
        return false;
    if (headers.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    {
        if (headers.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY)
            return false;
        table = headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
        return true;
    }
    const auto& headers32 = reinterpret_cast<const IMAGE_NT_HEADERS32&>(headers);
    if (headers32.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC ||
        headers32.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY)
        return false;
    table = headers32.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    return true;
}

// The PKCS #7 signed data of the table's first entry, the one Authenticode
// verifies.
bool ReadFirstSignature(HANDLE file, const IMAGE_DATA_DIRECTORY& table, std::vector<BYTE>& signature)
{
    WIN_CERTIFICATE header{};
    constexpr DWORD HeaderSize = offsetof(WIN_CERTIFICATE, bCertificate);
    if (!ReadAt(file, table.VirtualAddress, &header, HeaderSize) || header.dwLength <= HeaderSize ||
        header.dwLength > table.Size || header.dwLength > MaxSignatureBytes ||
        header.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA)
        return false;
    signature.resize(header.dwLength - HeaderSize);
    return ReadAt(file, static_cast<ULONGLONG>(table.VirtualAddress) + HeaderSize, signature.data(),
                  static_cast<DWORD>(signature.size()));
}

bool CopyCertificate(PCCERT_CONTEXT certificate, CERTIFICATE_BYTES& bytes)
{
    if (!certificate)
        return false;
    bytes.assign(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
    return true;
}

// The certificate that the signed data's first signer names.
bool FindSignerCertificate(const std::vector<BYTE>& signature, CERTIFICATE_BYTES& signer)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(signature.size()), const_cast<BYTE*>(signature.data())};
    CCertStore store;
    CCryptMessage message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.Put(), message.Put(),
                          nullptr))
        return false;
    DWORD size = 0;
    if (!CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) || size == 0)
        return false;
    std::vector<BYTE> info(size);
    if (!CryptMsgGetParam(message.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
        return false;
    CCertificate certificate(CertFindCertificateInStore(store.Get(), Encodings, 0, CERT_FIND_SUBJECT_CERT,
                                                        reinterpret_cast<CERT_INFO*>(info.data()), nullptr));
    return CopyCertificate(certificate.Get(), signer);
}

// Results that say nothing against the file or its signature, only that the
// signer's chain is not trusted here as a whole.
bool IsChainTrustError(HRESULT result)
{
    switch (result)
    {
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING:
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
    case CERT_E_WRONG_USAGE:
        return true;
    default:
        return false;
    }
}

// Verification state that WinVerifyTrust keeps until it is told to close it.
class CTrustVerification
{
public:
    CTrustVerification(HANDLE file, const std::wstring& path)
    {
        m_File.cbStruct = sizeof(m_File);
        m_File.pcwszFilePath = path.c_str();
        m_File.hFile = file;
        m_Data.cbStruct = sizeof(m_Data);
        m_Data.dwUIChoice = WTD_UI_NONE;
        m_Data.fdwRevocationChecks = WTD_REVOKE_NONE;
        m_Data.dwUnionChoice = WTD_CHOICE_FILE;
        m_Data.pFile = &m_File;
        m_Data.dwStateAction = WTD_STATEACTION_VERIFY;
        m_Data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    }
    ~CTrustVerification()
    {
        m_Data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &m_Action, &m_Data);
    }
    CTrustVerification(const CTrustVerification&) = delete;
    CTrustVerification& operator=(const CTrustVerification&) = delete;

    HRESULT Verify() { return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &m_Action, &m_Data); }

    // The certificate that signed, as the verification found it.
    bool Signer(CERTIFICATE_BYTES& signer) const
    {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(m_Data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signerInfo = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* certificate = signerInfo ? WTHelperGetProvCertFromChain(signerInfo, 0) : nullptr;
        return certificate && CopyCertificate(certificate->pCert, signer);
    }

private:
    GUID m_Action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO m_File{};
    WINTRUST_DATA m_Data{};
};
} // namespace

EMBEDDED_SIGNATURE ReadEmbeddedSigner(HANDLE file, CERTIFICATE_BYTES& signer)
{
    signer.clear();
    IMAGE_DATA_DIRECTORY table{};
    if (!FindCertificateTable(file, table))
        return EMBEDDED_SIGNATURE::Unreadable;
    if (table.VirtualAddress == 0 && table.Size == 0)
        return EMBEDDED_SIGNATURE::None;
    std::vector<BYTE> signature;
    if (!ReadFirstSignature(file, table, signature) || !FindSignerCertificate(signature, signer))
        return EMBEDDED_SIGNATURE::Unreadable;
    return EMBEDDED_SIGNATURE::Present;
}

HRESULT VerifyEmbeddedSignature(HANDLE file, const std::wstring& path, CERTIFICATE_BYTES& signer)
{
    signer.clear();
    LARGE_INTEGER start{};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    CTrustVerification verification(file, path);
    HRESULT result = verification.Verify();
    if ((SUCCEEDED(result) || IsChainTrustError(result)) && !verification.Signer(signer))
        signer.clear();
    return result;
}

std::wstring DescribeCertificate(const CERTIFICATE_BYTES& certificate)
{
    CCertificate context(
        CertCreateCertificateContext(Encodings, certificate.data(), static_cast<DWORD>(certificate.size())));
    wchar_t subject[256] = L"";
    if (context)
        CertGetNameStringW(context.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, ARRAYSIZE(subject));
    BYTE hash[20] = {};
    DWORD size = sizeof(hash);
    std::wstring thumbprint;
    if (CryptHashCertificate(0, CALG_SHA1, 0, certificate.data(), static_cast<DWORD>(certificate.size()), hash, &size))
        for (DWORD i = 0; i < size; ++i)
            thumbprint += FormatString(L"%02X", hash[i]);
    return FormatString(L"\"%s\" (SHA-1 thumbprint %s)", PrintableText(subject).c_str(), thumbprint.c_str());
}
