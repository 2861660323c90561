#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A certificate as its DER encoding: two are the same certificate only when
// these bytes are.
using CERTIFICATE_BYTES = std::vector<BYTE>;

enum class EMBEDDED_SIGNATURE
{
    None,       // no certificate table in the file
    Present,    // a signature, and the certificate of the signer it names
    Unreadable, // a certificate table that is not a readable signature
};

// The signature embedded in a program file, read from its certificate table
// without verifying anything: a signer whose certificate has expired, or
// whose root is not trusted here, still counts.
EMBEDDED_SIGNATURE ReadEmbeddedSigner(HANDLE file, CERTIFICATE_BYTES& signer);

// Verifies the open file's Authenticode signature (WinVerifyTrust, no
// revocation checks, nothing fetched from the network). Returns its result;
// signer is filled when the file and signature are intact, which is on S_OK
// and on the errors that only concern trust in the signer's chain (untrusted
// or incomplete chain, expiry, usage), with the certificate that signed.
HRESULT VerifyEmbeddedSignature(HANDLE file, const std::wstring& path, CERTIFICATE_BYTES& signer);

// "subject" (SHA-1 thumbprint), for the log.
std::wstring DescribeCertificate(const CERTIFICATE_BYTES& certificate);
