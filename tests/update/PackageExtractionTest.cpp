#include "update/PackageExtraction.h"

#include "LogCapture.h"
#include "TestSupport.h"
#include "common/StringConvert.h"
#include "update/MD5.h"

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
    {L"update-traversal", true, {L"evil.txt", L"kestrin.new"}, "[*] CUpdate: Updating file \"Kestrin.new\""},
    {L"update-folders", true, {L"kestrin.new"}, "[!] CUpdate: Skipping package entry \"sub/..\"."},
    {L"update-corrupt",
     false,
     {L"kestrin.new", L"readme.txt"},
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

    EXPECT_EQ(ExtractAndVerify(package, folder.Path(), ReadManifest(test.Package)), test.Verified);

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
    EXPECT_FALSE(ExtractAndVerify(folder.Path() + L"ua_update_x64.zip", folder.Path(), ReadManifest(L"update-good")));
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
