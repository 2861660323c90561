#include "update/PackageExtraction.h"

#include "common/MD5.h"
#include "common/StringConvert.h"
#include "common/UniqueResource.h"
#include "diag/Log.h"
#include "update/PackageEntryName.h"
#include "update/UpdateLimits.h"

#include <algorithm>
#include <climits>
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
constexpr unsigned long DosDirectoryAttribute = 0x10;
constexpr unsigned long UnixMadeBy = 3;
constexpr unsigned long UnixTypeMask = 0170000;
constexpr unsigned long UnixRegularFile = 0100000;
// Our own results beside minizip's codes (which are small negatives).
constexpr int EntryTooLarge = -1000;
constexpr int ExtractionCancelled = -1001;

inline void CloseArchive(unzFile archive) { unzClose(archive); }
using CZipArchive = CUniqueResource<unzFile, CloseArchive>;

// What the entries showed; the package passes only on a clean, complete run.
struct VERIFICATION
{
    CHandle Program;
    bool AnyMismatch = false;
    bool Stopped = false;

    bool Passed() const { return Program.IsValid() && !AnyMismatch && !Stopped; }
};

struct ENTRY
{
    std::wstring Name;
    unz_file_info64 Info{};
};

bool EqualNoCase(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool IsCancelled(HANDLE cancelEvent) { return cancelEvent && WaitForSingleObject(cancelEvent, 0) == WAIT_OBJECT_0; }

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

int ReadEntry(unzFile archive, ENTRY& entry)
{
    int result = unzGetCurrentFileInfo64(archive, &entry.Info, nullptr, 0, nullptr, 0, nullptr, 0);
    if (result != UNZ_OK)
        return result;
    std::string raw(entry.Info.size_filename, '\0');
    result =
        unzGetCurrentFileInfo64(archive, &entry.Info, raw.data(), entry.Info.size_filename, nullptr, 0, nullptr, 0);
    if (result == UNZ_OK)
        entry.Name = DecodeEntryName(raw, entry.Info.flag);
    return result;
}

// Folders, links and devices made on Unix are not files to write.
bool IsPlainFile(const ENTRY& entry)
{
    if (entry.Info.external_fa & DosDirectoryAttribute)
        return false;
    unsigned long unixType = (entry.Info.external_fa >> 16) & UnixTypeMask;
    return (entry.Info.version >> 8) != UnixMadeBy || unixType == 0 || unixType == UnixRegularFile;
}

bool IsListed(const std::wstring& name, const std::vector<MANIFEST_ENTRY>& manifest)
{
    if (EqualNoCase(name, ProgramFileName))
        return true;
    for (const MANIFEST_ENTRY& entry : manifest)
        if (EqualNoCase(entry.FileName, name))
            return true;
    return false;
}

bool WriteAll(HANDLE file, const char* data, DWORD length)
{
    DWORD written = 0;
    return WriteFile(file, data, length, &written, nullptr) && written == length;
}

// minizip stops at the size the entry's header gives; the count holds even
// where it would not.
int CopyCurrentEntry(unzFile archive, HANDLE file, HANDLE cancelEvent)
{
    std::vector<char> buffer(ChunkSize);
    ULONGLONG total = 0;
    int read = 0;
    while ((read = unzReadCurrentFile(archive, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0)
    {
        total += static_cast<ULONGLONG>(read);
        if (total > MaxPackageEntryBytes)
            return EntryTooLarge;
        if (IsCancelled(cancelEvent))
            return ExtractionCancelled;
        if (!WriteAll(file, buffer.data(), static_cast<DWORD>(read)))
            return UNZ_ERRNO;
    }
    return read;
}

// Returns minizip's code, or one of ours; a file we cannot write counts as
// minizip's UNZ_ERRNO. What was written of a failed entry is deleted.
int ExtractCurrentEntry(unzFile archive, const std::wstring& target, HANDLE cancelEvent)
{
    DeleteFileW(target.c_str());
    CHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return UNZ_ERRNO;
    int result = unzOpenCurrentFile(archive);
    if (result == UNZ_OK)
    {
        result = CopyCurrentEntry(archive, file.Get(), cancelEvent);
        // Closing is where minizip checks the entry's CRC.
        int closed = unzCloseCurrentFile(archive);
        if (result == UNZ_OK)
            result = closed;
    }
    file.Close();
    if (result != UNZ_OK)
        DeleteFileW(target.c_str());
    return result;
}

// The program is held from before its digest is taken until it is installed.
CHandle OpenExtracted(const std::wstring& path, bool hold)
{
    DWORD access = hold ? GENERIC_READ | DELETE : GENERIC_READ;
    DWORD sharing = hold ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    return CHandle(CreateFileW(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void VerifyFile(const std::wstring& path, const std::wstring& name, const std::vector<MANIFEST_ENTRY>& manifest,
                VERIFICATION& verification)
{
    bool program = EqualNoCase(name, ProgramFileName);
    CHandle file = OpenExtracted(path, program);
    BYTE digest[16] = {};
    // A listed file we cannot digest is as unverified as a wrong one.
    bool digested = file && ComputeHandleMd5(file.Get(), digest);
    bool programMatched = false;
    for (const MANIFEST_ENTRY& entry : manifest)
    {
        if (!EqualNoCase(entry.FileName, name))
            continue;
        LogPrintf(LOG_INFO, L"[*] CUpdate: Updating file \"%s\", MD5 = %s", name.c_str(), entry.Md5.c_str());
        if (!digested || !EqualNoCase(Md5ToHex(digest), entry.Md5))
        {
            LogPrintf(LOG_ERROR, L"[!] CUpdate: MD5 signature does not match!");
            verification.AnyMismatch = true;
        }
        else if (program)
            programMatched = true;
    }
    if (programMatched)
        verification.Program = std::move(file);
}

void LogReadError(const std::wstring& packagePath, int error)
{
    LogPrintf(LOG_ERROR, L"[!] CUpdate: Error reading package \"%s\".\r\n    Zip error = 0x%lx", packagePath.c_str(),
              static_cast<unsigned long>(error));
}

void LogEntryTooLarge(const std::wstring& entryName)
{
    LogPrintf(LOG_ERROR, L"[!] CUpdate: Update package refused: entry \"%s\" is larger than the limit of %lu bytes.",
              PrintableText(entryName).c_str(), static_cast<unsigned long>(MaxPackageEntryBytes));
}

void LogExtractionFailure(int result, const ENTRY& entry, const std::wstring& name)
{
    if (result == EntryTooLarge)
        LogEntryTooLarge(entry.Name);
    else if (result == ExtractionCancelled)
        LogMessage(L"[!] CUpdate: Extraction of the update package cancelled.");
    else
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Error unzipping file \"%s\".\r\n    Zip error = 0x%lx", name.c_str(),
                  static_cast<unsigned long>(result));
}

// Extracts and verifies the archive's current entry; false stops the loop.
bool ProcessCurrentEntry(unzFile archive, const std::wstring& packagePath, const std::wstring& folder,
                         const std::vector<MANIFEST_ENTRY>& manifest, HANDLE cancelEvent, VERIFICATION& verification)
{
    ENTRY entry;
    int result = ReadEntry(archive, entry);
    if (result != UNZ_OK)
    {
        LogReadError(packagePath, result);
        return false;
    }
    std::wstring name = SafeEntryBaseName(entry.Name);
    if (name.empty() || !IsPlainFile(entry) || !IsListed(name, manifest))
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Skipping package entry \"%s\".", PrintableText(entry.Name).c_str());
        return true;
    }
    if (entry.Info.uncompressed_size > MaxPackageEntryBytes)
    {
        LogEntryTooLarge(entry.Name);
        return false;
    }
    std::wstring path = folder + name;
    result = ExtractCurrentEntry(archive, path, cancelEvent);
    if (result != UNZ_OK)
    {
        LogExtractionFailure(result, entry, name);
        return false;
    }
    VerifyFile(path, name, manifest, verification);
    return true;
}

VERIFICATION ExtractEntries(unzFile archive, ZPOS64_T count, const std::wstring& packagePath,
                            const std::wstring& folder, const std::vector<MANIFEST_ENTRY>& manifest, HANDLE cancelEvent)
{
    VERIFICATION verification;
    for (ZPOS64_T index = 0; index < count; ++index)
    {
        int result = index == 0 ? unzGoToFirstFile(archive) : unzGoToNextFile(archive);
        if (result != UNZ_OK)
            LogReadError(packagePath, result);
        if (result != UNZ_OK || !ProcessCurrentEntry(archive, packagePath, folder, manifest, cancelEvent, verification))
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

CHandle ExtractAndVerifyPackage(const std::wstring& packagePath, const std::wstring& folder,
                                const std::vector<MANIFEST_ENTRY>& manifest, HANDLE cancelEvent)
{
    CZipArchive archive = OpenArchive(packagePath);
    if (!archive)
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Opening update package \"%s\".", packagePath.c_str());
        return CHandle();
    }
    unz_global_info64 info{};
    int result = unzGetGlobalInfo64(archive.Get(), &info);
    if (result != UNZ_OK)
    {
        LogReadError(packagePath, result);
        return CHandle();
    }
    if (info.number_entry > MaxPackageEntries)
    {
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Update package refused: it holds %lu entries, more than the limit of %lu.",
                  static_cast<unsigned long>(std::min<ZPOS64_T>(info.number_entry, ULONG_MAX)),
                  static_cast<unsigned long>(MaxPackageEntries));
        return CHandle();
    }
    VERIFICATION verification =
        ExtractEntries(archive.Get(), info.number_entry, packagePath, folder, manifest, cancelEvent);
    return verification.Passed() ? std::move(verification.Program) : CHandle();
}
} // namespace

bool ComputeHandleMd5(HANDLE file, BYTE digest[16])
{
    LARGE_INTEGER start{};
    CMD5 md5;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !DigestFileContents(file, md5))
        return false;
    md5.Final();
    md5.GetDigest(digest);
    return true;
}

bool ComputeFileMd5(const std::wstring& fileName, BYTE digest[16])
{
    CHandle file(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && ComputeHandleMd5(file.Get(), digest);
}

CHandle ExtractAndVerify(const std::wstring& packagePath, const std::wstring& folder,
                         const std::vector<MANIFEST_ENTRY>& manifest, HANDLE cancelEvent)
{
    CHandle program = ExtractAndVerifyPackage(packagePath, folder, manifest, cancelEvent);
    DeleteFileW(packagePath.c_str());
    return program;
}
