// The checks of the new program itself, once its digest has matched: its own
// version, and its signer against the running program's.
#include "common/StringConvert.h"
#include "common/Version.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/Authenticode.h"
#include "platform/FileVersionInfo.h"
#include "update/Update.h"

#include <wintrust.h>

namespace
{
const wchar_t* SignatureRefusal(HRESULT result)
{
    switch (result)
    {
    case TRUST_E_NOSIGNATURE:
        return L"the new service program is not signed";
    case TRUST_E_BAD_DIGEST:
        return L"the new service program was changed after it was signed";
    case TRUST_E_EXPLICIT_DISTRUST:
        return L"the signer of the new service program is distrusted on this computer";
    default:
        return SUCCEEDED(result) ? L"the signer of the new service program cannot be read"
                                 : L"the signature of the new service program is not valid";
    }
}

bool ReadFileVersion(const std::wstring& path, std::wstring& version, unsigned long triple[3])
{
    DWORD handle = 0;
    CFileVersionInfo info;
    if (!info.Read(path.c_str(), GetFileVersionInfoSizeW(path.c_str(), &handle)) ||
        !ParseVersionTriple(info.FileVersion, triple))
        return false;
    version = PrintableText(info.FileVersion, 40);
    return true;
}
} // namespace

// The manifest's word is not enough: the file must say the same of itself,
// so that an old build listed under a new number is neither installed nor
// installed again at every check.
bool CUpdate::IsTruthfulVersion(const std::wstring& newProgramPath)
{
    std::wstring version;
    unsigned long file[3] = {}, listed[3] = {}, running[3] = {};
    if (!ReadFileVersion(newProgramPath, version, file))
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Update refused: unable to obtain version of \"%s\".",
                  newProgramPath.c_str());
        return false;
    }
    if (!ParseVersionTriple(m_NewVersion, listed) || IsNewerTriple(file, listed) || IsNewerTriple(listed, file))
    {
        LogPrintf(LOG_ERROR,
                  L"[!] CUpdate: Update refused: the new service program's version %s is not the update manifest's %s.",
                  version.c_str(), m_NewVersion.c_str());
        return false;
    }
    if (ParseVersionTriple(m_RunningVersion, running) && !IsNewerTriple(file, running))
    {
        LogPrintf(
            LOG_ERROR,
            L"[!] CUpdate: Update refused: the new service program's version %s is not newer than the running %s.",
            version.c_str(), m_RunningVersion.c_str());
        return false;
    }
    return true;
}

// A signed program accepts only a build signed with its own certificate:
// only the holder of that key can make one, whoever answers for the server.
// An unsigned program has only the manifest's digest to go by.
bool CUpdate::IsAcceptedSigner(HANDLE newProgram)
{
    CHandle running(CreateFileW(m_ProgramPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!running)
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR,
                  L"[!] CUpdate: Update refused: unable to read the running service program \"%s\".\r\n    %s. Error "
                  L"code = %ld.",
                  m_ProgramPath.c_str(), CErrorText(error).Text(), (long)error);
        return false;
    }
    CERTIFICATE_BYTES runningSigner;
    EMBEDDED_SIGNATURE signature = ReadEmbeddedSigner(running.Get(), runningSigner);
    if (signature == EMBEDDED_SIGNATURE::None)
    {
        LogMessage(L"[*] CUpdate: The running service program is not signed: the update is verified by its MD5 digest "
                   L"only.");
        return true;
    }
    if (signature == EMBEDDED_SIGNATURE::Unreadable)
    {
        LogMessage(L"[!] CUpdate: Update refused: the signature of the running service program cannot be read.");
        return false;
    }
    CERTIFICATE_BYTES newSigner;
    HRESULT result = VerifyEmbeddedSignature(newProgram, m_NewProgramPath, newSigner);
    if (newSigner.empty())
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Update refused: %s. Error code = 0x%08lX.", SignatureRefusal(result),
                  static_cast<unsigned long>(result));
        return false;
    }
    if (newSigner != runningSigner)
    {
        LogPrintf(LOG_ERROR,
                  L"[!] CUpdate: Update refused: the new service program is signed by %s,\r\n    not by the running "
                  L"program's signer %s.",
                  DescribeCertificate(newSigner).c_str(), DescribeCertificate(runningSigner).c_str());
        return false;
    }
    LogPrintf(LOG_INFO, L"[*] CUpdate: The new service program is signed by the running program's signer %s.",
              DescribeCertificate(runningSigner).c_str());
    return true;
}
