#include "update/PackageExtraction.h"

#include "LogCapture.h"
#include "StoredZip.h"
#include "TestSupport.h"
#include "common/MD5.h"
#include "common/StringConvert.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace
{
// A download folder "Tmp\" inside a folder of its own, so that anything
// written beside it shows up.
class CDownloadFolder
{
public:
    CDownloadFolder() : m_Path(m_Parent.Path() + L"\\Tmp\\") { CreateDirectoryW(m_Path.c_str(), nullptr); }
    ~CDownloadFolder()
    {
        for (const std::wstring& name : Names(m_Path))
            DeleteFileW((m_Path + name).c_str());
        RemoveDirectoryW(m_Path.c_str());
    }
    const std::wstring& Path() const { return m_Path; }
    std::wstring ParentPath() const { return m_Parent.Path() + L"\\"; }

    // Lower-case names of everything in a folder, files and folders alike.
    static std::set<std::wstring> Names(const std::wstring& folder)
    {
        std::set<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do
        {
            std::wstring name = data.cFileName;
            std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towlower(c); });
            if (name != L"." && name != L"..")
                names.insert(name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }

private:
    CTempFolder m_Parent;
    std::wstring m_Path;
};

// The "file|MD5" lines the package maker wrote beside each package.
std::vector<MANIFEST_ENTRY> ReadManifest(const std::wstring& package)
{
    std::vector<MANIFEST_ENTRY> manifest;
    std::istringstream lines(ReadFileBytes(TestDataFile(package + L".manifest")));
    std::string line;
    while (std::getline(lines, line))
    {
        size_t bar = line.find('|');
        std::string digest = line.substr(bar + 1);
        digest.erase(digest.find_last_not_of("\r") + 1);
        manifest.push_back({AnsiToWide(digest), AnsiToWide(line.substr(0, bar)), L""});
    }
    return manifest;
}

struct EXTRACTION_CASE
{
    const wchar_t* Package;
    bool Verified;
    std::set<std::wstring> Files;
    const char* LogText;
};

const EXTRACTION_CASE ExtractionCases[] = {
    {L"update-good", true, {L"kestrin.new", L"readme.txt"}, "[*] CUpdate: Updating file \"Kestrin.new\", MD5 = "},
    {L"update-nested", true, {L"kestrin.new", L"readme.txt"}, "[*] CUpdate: Updating file \"readme.txt\""},
    {L"update-upper-case", true, {L"kestrin.new"}, "[*] CUpdate: Updating file \"KESTRIN.NEW\""},
    {L"update-tampered", false, {L"kestrin.new", L"readme.txt"}, "[!] CUpdate: MD5 signature does not match!"},
    {L"update-other-mismatch", false, {L"kestrin.new", L"readme.txt"}, "[!] CUpdate: MD5 signature does not match!"},
    {L"update-no-program", false, {L"readme.txt"}, "[*] CUpdate: Updating file \"readme.txt\""},
    {L"update-traversal", true, {L"kestrin.new"}, "[!] CUpdate: Skipping package entry \"../evil.txt\"."},
    {L"update-folders", true, {L"kestrin.new"}, "[!] CUpdate: Skipping package entry \"sub/..\"."},
    // What was written of the entry that failed is deleted.
    {L"update-corrupt",
     false,
     {L"kestrin.new"},
     "[!] CUpdate: Error unzipping file \"readme.txt\".\r\n    Zip error = 0xffffff97"},
    {L"update-truncated", false, {}, "[!] CUpdate: Opening update package \""},
};

void PrintTo(const EXTRACTION_CASE& test, std::ostream* out) { *out << WideToAnsi(test.Package); }

class PackageExtraction : public testing::TestWithParam<EXTRACTION_CASE>
{
};
} // namespace

TEST_P(PackageExtraction, VerifiesExtractsIntoTheFolderOnlyAndDeletesThePackage)
{
    const EXTRACTION_CASE& test = GetParam();
    CLogCapture log;
    CDownloadFolder folder;
    std::wstring package = folder.Path() + L"ua_update_x64.zip";
    ASSERT_TRUE(CopyFileW(TestDataFile(std::wstring(test.Package) + L".zip").c_str(), package.c_str(), FALSE));

    EXPECT_EQ(ExtractAndVerify(package, folder.Path(), ReadManifest(test.Package)).IsValid(), test.Verified);

    EXPECT_EQ(CDownloadFolder::Names(folder.Path()), test.Files);
    EXPECT_EQ(CDownloadFolder::Names(folder.ParentPath()), std::set<std::wstring>{L"tmp"});
    EXPECT_FALSE(FileExists(package));
    EXPECT_NE(log.Text().find(test.LogText), std::string::npos) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageExtraction, testing::ValuesIn(ExtractionCases),
                         [](const testing::TestParamInfo<EXTRACTION_CASE>& info)
                         {
                             std::string name = WideToAnsi(info.param.Package).substr(7);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A package file that is missing is reported and nothing is extracted.
TEST(PackageExtractionMissing, MissingPackageIsNotVerified)
{
    CDownloadFolder folder;
    EXPECT_FALSE(
        ExtractAndVerify(folder.Path() + L"ua_update_x64.zip", folder.Path(), ReadManifest(L"update-good")).IsValid());
    EXPECT_TRUE(CDownloadFolder::Names(folder.Path()).empty());
}

TEST(PackageExtractionMd5, DigestsWholeFilesAndRejectsEmptyOrMissingOnes)
{
    CTempFolder temp;
    WriteFileBytes(temp.File(L"abc.txt"), "abc");
    WriteFileBytes(temp.File(L"empty.txt"), "");
    struct
    {
        std::wstring Path;
        bool Computed;
        std::string Hex;
    } const cases[] = {
        {temp.File(L"abc.txt"), true, "900150983CD24FB0D6963F7D28E17F72"},
        // Three read chunks and one byte: the digest spans chunk boundaries.
        {TestDataFile(L"md5-large.bin"), true, ReadFileBytes(TestDataFile(L"md5-large.bin.md5"))},
        {temp.File(L"empty.txt"), false, ""},
        {temp.File(L"missing.txt"), false, ""},
    };
    for (const auto& test : cases)
    {
        BYTE digest[16] = {};
        bool computed = ComputeFileMd5(test.Path, digest);
        EXPECT_EQ(computed, test.Computed) << WideToAnsi(test.Path);
        EXPECT_EQ(computed ? WideToAnsi(Md5ToHex(digest)) : "", test.Hex) << WideToAnsi(test.Path);
    }
}

namespace
{
std::wstring LastComponent(const std::string& name)
{
    std::wstring wide = AnsiToWide(name);
    return wide.substr(wide.find_last_of(L"/\\") + 1);
}

// Where a name that escaped would have put its file.
std::vector<std::wstring> PlacesOutside(const CDownloadFolder& folder)
{
    std::wstring parent = folder.ParentPath();
    std::wstring grandparent = parent.substr(0, parent.find_last_of(L'\\', parent.size() - 2) + 1);
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    return {parent, grandparent, std::wstring(current) + L"\\", L"C:\\"};
}

// Each name is listed in the manifest, so that only the name rules keep it
// out; the last component is unique to its row.
const struct
{
    const char* Name;
    uint32_t ExternalAttributes;
    bool MadeOnUnix;
} HostileEntries[] = {
    {"x\\../version.dll", 0, false},
    {"../evil1.dll", 0, false},
    {"..\\evil2.dll", 0, false},
    {"a/../../evil3.dll", 0, false},
    {"a\\b/..\\..\\../evil4.dll", 0, false},
    {"./evil5.dll", 0, false},
    {"/evil6.dll", 0, false},
    {"\\\\server\\share\\evil7.dll", 0, false},
    {"C:evil8.dll", 0, false},
    {"C:\\evil9.dll", 0, false},
    {"c:/evil10.dll", 0, false},
    {"evil11.dll:stream", 0, false},
    {"sub/evil12.dll::$DATA", 0, false},
    {"evil13.dll.", 0, false},
    {"evil14.dll ", 0, false},
    {"sub./evil15.dll", 0, false},
    {"evil16?.dll", 0, false},
    {"a<b>evil17.dll", 0, false},
    {"CON", 0, false},
    {"nul.txt", 0, false},
    {"sub/Com1.dll", 0, false},
    {"LPT9", 0, false},
    {"aux .txt", 0, false},
    {"CONOUT$", 0, false},
    {"sub/", 0, false},
    {"sub\\", 0, false},
    // A folder by its attribute, and a symbolic link made on Unix.
    {"folder18.dll", FILE_ATTRIBUTE_DIRECTORY, false},
    {"link19.dll", 0120777u << 16, true},
};
} // namespace

// Nothing of a hostile entry is written, inside the download folder or out.
TEST(PackageExtractionNames, HostileNamesAreSkippedAndNothingIsWritten)
{
    for (const auto& hostile : HostileEntries)
    {
        SCOPED_TRACE(hostile.Name);
        CLogCapture log;
        CDownloadFolder folder;
        std::wstring package = folder.Path() + L"ua_update_x64.zip";
        WriteStoredZip(package, {{hostile.Name, "evil", hostile.ExternalAttributes, hostile.MadeOnUnix}});
        std::wstring base = LastComponent(hostile.Name);
        std::vector<MANIFEST_ENTRY> manifest = {{L"5B9B4AB3F1C1C0E1E8B7DE52E8BCA55A", base, L""}};

        EXPECT_FALSE(ExtractAndVerify(package, folder.Path(), manifest).IsValid());

        EXPECT_TRUE(CDownloadFolder::Names(folder.Path()).empty());
        EXPECT_EQ(CDownloadFolder::Names(folder.ParentPath()), std::set<std::wstring>{L"tmp"});
        // A listing, not an open: a device name "exists" everywhere.
        for (const std::wstring& place : PlacesOutside(folder))
            EXPECT_EQ(CDownloadFolder::Names(place).count(LowerCase(base)), 0u) << WideToAnsi(place);
        EXPECT_NE(log.Text().find("[!] CUpdate: Skipping package entry"), std::string::npos) << log.Text();
    }
}

// An unlisted name is skipped too, and a log line never carries a line break
// of the package's.
TEST(PackageExtractionNames, UnlistedAndControlCharacterNamesAreSkipped)
{
    CLogCapture log;
    CDownloadFolder folder;
    std::wstring package = folder.Path() + L"ua_update_x64.zip";
    WriteStoredZip(package, {{"unlisted.dll", "x"}, {"a\r\n[*] forged.dll", "x"}});
    EXPECT_FALSE(ExtractAndVerify(package, folder.Path(), ReadManifest(L"update-good")).IsValid());
    EXPECT_TRUE(CDownloadFolder::Names(folder.Path()).empty());
    EXPECT_NE(log.Text().find("Skipping package entry \"unlisted.dll\""), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("Skipping package entry \"a??[*] forged.dll\""), std::string::npos) << log.Text();
}

TEST(PackageExtractionBounds, PackagesOverABoundAreRefusedBeforeAnythingIsWritten)
{
    std::string program(1000, 'p');
    std::vector<MANIFEST_ENTRY> manifest = {{L"", L"Kestrin.new", L""}};
    {
        BYTE digest[16] = {};
        CMD5 md5;
        md5.Update(reinterpret_cast<const BYTE*>(program.data()), static_cast<unsigned>(program.size()));
        md5.Final();
        md5.GetDigest(digest);
        manifest[0].Md5 = Md5ToHex(digest);
    }
    auto withFillers = [&](size_t count)
    {
        std::vector<STORED_ENTRY> entries = {{"Kestrin.new", program}};
        for (size_t i = 1; i < count; ++i)
            entries.push_back({"filler" + std::to_string(i) + ".txt", "f"});
        return entries;
    };
    const struct
    {
        const char* Name;
        std::vector<STORED_ENTRY> Entries;
        bool Verified;
        const char* Logged;
    } cases[] = {
        {"64 entries", withFillers(64), true, "[*] CUpdate: Updating file \"Kestrin.new\""},
        {"65 entries", withFillers(65), false, "it holds 65 entries, more than the limit of 64."},
        {"32 MiB and one byte",
         {{"Kestrin.new", program, 0, false, (32u << 20) + 1}},
         false,
         "entry \"Kestrin.new\" is larger than the limit of 33554432 bytes."},
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.Name);
        CLogCapture log;
        CDownloadFolder folder;
        std::wstring package = folder.Path() + L"ua_update_x64.zip";
        WriteStoredZip(package, test.Entries);
        EXPECT_EQ(ExtractAndVerify(package, folder.Path(), manifest).IsValid(), test.Verified);
        EXPECT_EQ(CDownloadFolder::Names(folder.Path()).size(), test.Verified ? 1u : 0u);
        EXPECT_NE(log.Text().find(test.Logged), std::string::npos) << log.Text();
    }
}
