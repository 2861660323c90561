#include "update/PackageExtraction.h"

#include "common/Handle.h"
#include "common/UniqueResource.h"
#include "diag/Log.h"
#include "update/MD5.h"

#include <ioapi.h>
#include <iowin32.h>
#include <unzip.h>
#include <vector>

namespace
{
constexpr DWORD ChunkSize = 0x20000;
constexpr wchar_t ProgramFileName[] = L"Kestrin.new";
// Bit 11 of an entry's flags: its name is UTF-8 rather than the OEM code page.
constexpr unsigned long Utf8NameFlag = 0x800;

inline void CloseArchive(unzFile archive) { unzClose(archive); }
using CZipArchive = CUniqueResource<unzFile, CloseArchive>;

// What the entries showed; the package passes only on a clean, complete run.
struct VERIFICATION
{
    bool ProgramMatched = false;
    bool AnyMismatch = false;
    bool Stopped = false;

    bool Passed() const { return ProgramMatched && !AnyMismatch && !Stopped; }
};

bool EqualNoCase(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

CZipArchive OpenArchive(const std::wstring& path)
{
    zlib_filefunc64_def files{};
    fill_win32_filefunc64W(&files);
    return CZipArchive(unzOpen2_64(path.c_str(), &files));
}

std::wstring DecodeEntryName(const std::string& name, unsigned long flags)
{
    UINT codePage = (flags & Utf8NameFlag) ? CP_UTF8 : CP_OEMCP;
    int length = MultiByteToWideChar(codePage, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, name.data(), static_cast<int>(name.size()), text.data(), length);
    return text;
}

int ReadEntryName(unzFile archive, std::wstring& name)
{
    unz_file_info64 info{};
    int result = unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    if (result != UNZ_OK)
        return result;
    std::string raw(info.size_filename, '\0');
    result = unzGetCurrentFileInfo64(archive, &info, raw.data(), info.size_filename, nullptr, 0, nullptr, 0);
    if (result == UNZ_OK)
        name = DecodeEntryName(raw, info.flag);
    return result;
}

std::wstring BaseName(const std::wstring& entryName)
{
    size_t slash = entryName.rfind(L'\\');
    if (slash == std::wstring::npos)
        slash = entryName.rfind(L'/');
    return slash == std::wstring::npos ? entryName : entryName.substr(slash + 1);
}

// Folders, and names that Windows would resolve to the download folder, its
// parent or a drive or stream, are never written. Windows drops trailing dots
// and blanks, so "..." would reach the folder itself.
bool IsExtractableName(const std::wstring& entryName, const std::wstring& baseName)
{
    if (entryName.empty() || entryName.back() == L'/' || entryName.back() == L'\\')
        return false;
    if (baseName.empty() || baseName == L"." || baseName == L"..")
        return false;
    return baseName.find(L':') == std::wstring::npos && baseName.back() != L'.' && baseName.back() != L' ';
}

bool WriteAll(HANDLE file, const char* data, DWORD length)
{
    DWORD written = 0;
    return WriteFile(file, data, length, &written, nullptr) && written == length;
}

int CopyCurrentEntry(unzFile archive, HANDLE file, std::vector<char>& buffer)
{
    int read = 0;
    while ((read = unzReadCurrentFile(archive, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0)
        if (!WriteAll(file, buffer.data(), static_cast<DWORD>(read)))
            return UNZ_ERRNO;
    return read;
}

// Returns minizip's code; a file we cannot write counts as its UNZ_ERRNO.
int ExtractCurrentEntry(unzFile archive, const std::wstring& target)
{
    std::vector<char> buffer(ChunkSize);
    DeleteFileW(target.c_str());
    CHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return UNZ_ERRNO;
    int result = unzOpenCurrentFile(archive);
    if (result != UNZ_OK)
        return result;
    result = CopyCurrentEntry(archive, file.Get(), buffer);
    // Closing is where minizip checks the entry's CRC.
    int closed = unzCloseCurrentFile(archive);
    return result != UNZ_OK ? result : closed;
}

void VerifyFile(const std::wstring& path, const std::wstring& name, const std::vector<MANIFEST_ENTRY>& manifest,
                VERIFICATION& verification)
{
    for (const MANIFEST_ENTRY& entry : manifest)
    {
        if (!EqualNoCase(entry.FileName, name))
            continue;
        LogPrintf(LOG_INFO, L"[*] CUpdate: Updating file \"%s\", MD5 = %s", name.c_str(), entry.Md5.c_str());
        BYTE digest[16];
        // A listed file we cannot digest is as unverified as a wrong one.
        bool matched = ComputeFileMd5(path, digest) && EqualNoCase(Md5ToHex(digest), entry.Md5);
        if (!matched)
        {
            LogPrintf(LOG_ERROR, L"[!] CUpdate: MD5 signature does not match!");
            verification.AnyMismatch = true;
        }
        else if (EqualNoCase(name, ProgramFileName))
            verification.ProgramMatched = true;
    }
}

void LogReadError(const std::wstring& packagePath, int error)
{
    LogPrintf(LOG_ERROR, L"[!] CUpdate: Error reading package \"%s\".\r\n    Zip error = 0x%lx", packagePath.c_str(),
              static_cast<unsigned long>(error));
}

// Extracts and verifies the archive's current entry; false stops the loop.
bool ProcessCurrentEntry(unzFile archive, const std::wstring& packagePath, const std::wstring& folder,
                         const std::vector<MANIFEST_ENTRY>& manifest, VERIFICATION& verification)
{
    std::wstring entryName;
    int result = ReadEntryName(archive, entryName);
    if (result != UNZ_OK)
    {
        LogReadError(packagePath, result);
        return false;
    }
    std::wstring name = BaseName(entryName);
    if (!IsExtractableName(entryName, name))
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Skipping package entry \"%s\".", entryName.c_str());
        return true;
    }
    std::wstring path = folder + name;
    result = ExtractCurrentEntry(archive, path);
    if (result != UNZ_OK)
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Error unzipping file \"%s\".\r\n    Zip error = 0x%lx", name.c_str(),
                  static_cast<unsigned long>(result));
        return false;
    }
    VerifyFile(path, name, manifest, verification);
    return true;
}

VERIFICATION ExtractEntries(unzFile archive, ZPOS64_T count, const std::wstring& packagePath,
                            const std::wstring& folder, const std::vector<MANIFEST_ENTRY>& manifest)
{
    VERIFICATION verification;
    for (ZPOS64_T index = 0; index < count; ++index)
    {
        int result = index == 0 ? unzGoToFirstFile(archive) : unzGoToNextFile(archive);
        if (result != UNZ_OK)
            LogReadError(packagePath, result);
        if (result != UNZ_OK || !ProcessCurrentEntry(archive, packagePath, folder, manifest, verification))
        {
            verification.Stopped = true;
            break;
        }
    }
    return verification;
}

// Feeds the whole file to md5; false when it cannot be read or is empty.
bool DigestFileContents(HANDLE file, CMD5& md5)
{
    std::vector<BYTE> buffer(ChunkSize);
    ULONGLONG total = 0;
    DWORD read = 0;
    do
    {
        if (!ReadFile(file, buffer.data(), ChunkSize, &read, nullptr))
            return false;
        md5.Update(buffer.data(), read);
        total += read;
    } while (read > 0);
    return total > 0;
}

bool ExtractAndVerifyPackage(const std::wstring& packagePath, const std::wstring& folder,
                             const std::vector<MANIFEST_ENTRY>& manifest)
{
    CZipArchive archive = OpenArchive(packagePath);
    if (!archive)
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Opening update package \"%s\".", packagePath.c_str());
        return false;
    }
    unz_global_info64 info{};
    int result = unzGetGlobalInfo64(archive.Get(), &info);
    if (result != UNZ_OK)
    {
        LogReadError(packagePath, result);
        return false;
    }
    return ExtractEntries(archive.Get(), info.number_entry, packagePath, folder, manifest).Passed();
}
} // namespace

bool ComputeFileMd5(const std::wstring& fileName, BYTE digest[16])
{
    CHandle file(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    CMD5 md5;
    if (!file || !DigestFileContents(file.Get(), md5))
        return false;
    md5.Final();
    md5.GetDigest(digest);
    return true;
}

bool ExtractAndVerify(const std::wstring& packagePath, const std::wstring& folder,
                      const std::vector<MANIFEST_ENTRY>& manifest)
{
    bool verified = ExtractAndVerifyPackage(packagePath, folder, manifest);
    DeleteFileW(packagePath.c_str());
    return verified;
}
