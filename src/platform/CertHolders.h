#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <wincrypt.h>

namespace ResourceRelease
{
inline void CloseCertStore(HCERTSTORE store) { CertCloseStore(store, 0); }
inline void FreeCertificate(PCCERT_CONTEXT certificate) { CertFreeCertificateContext(certificate); }
inline void FreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) { CertFreeCertificateChain(chain); }
} // namespace ResourceRelease

using CCertStore = CUniqueResource<HCERTSTORE, ResourceRelease::CloseCertStore>;
using CCertificate = CUniqueResource<PCCERT_CONTEXT, ResourceRelease::FreeCertificate>;
using CCertChain = CUniqueResource<PCCERT_CHAIN_CONTEXT, ResourceRelease::FreeCertificateChain>;
