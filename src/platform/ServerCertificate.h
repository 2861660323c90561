#pragma once

#include <windows.h>

#include <string>
#include <wincrypt.h>

// Checks the certificate a TLS server presented as a client must: a chain,
// with the certificates the server sent, to a root this machine trusts; no
// element expired, badly signed or not meant for server authentication; and
// hostName among the names it was issued for. Nothing is fetched from the
// network. ERROR_SUCCESS, or the CERT_E_ / TRUST_E_ code of what is wrong.
DWORD CheckServerCertificate(PCCERT_CONTEXT certificate, const std::wstring& hostName);
