#include "TestSupport.h"
#include "common/StringConvert.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unzip.h>

namespace
{
std::string ExtractCurrentEntry(unzFile archive)
{
    std::string bytes;
    if (unzOpenCurrentFile(archive) != UNZ_OK)
        return "<open failed>";
    char buffer[8192];
    int read = 0;
    while ((read = unzReadCurrentFile(archive, buffer, sizeof(buffer))) > 0)
        bytes.append(buffer, static_cast<size_t>(read));
    if (unzCloseCurrentFile(archive) != UNZ_OK || read < 0)
        return "<read failed>";
    return bytes;
}
} // namespace

// The update package is a zip archive read with minizip over zlib; this proves
// the pair against an archive written by another implementation.
TEST(Minizip, ExtractsAnArchiveMadeByPythonByteForByte)
{
    std::string archivePath = WideToAnsi(TestDataFile(L"sample.zip"));
    unzFile archive = unzOpen64(archivePath.c_str());
    ASSERT_NE(archive, nullptr) << archivePath;

    unz_global_info64 info{};
    ASSERT_EQ(unzGetGlobalInfo64(archive, &info), UNZ_OK);
    EXPECT_EQ(info.number_entry, 3u);

    std::map<std::string, std::string> extracted;
    for (int result = unzGoToFirstFile(archive); result == UNZ_OK; result = unzGoToNextFile(archive))
    {
        char name[256] = {};
        unz_file_info64 entry{};
        ASSERT_EQ(unzGetCurrentFileInfo64(archive, &entry, name, sizeof(name), nullptr, 0, nullptr, 0), UNZ_OK);
        extracted[name] = ExtractCurrentEntry(archive);
        EXPECT_EQ(extracted[name].size(), entry.uncompressed_size) << name;
    }
    unzClose(archive);

    ASSERT_EQ(extracted.size(), 3u);
    for (const auto& [name, bytes] : extracted)
        EXPECT_TRUE(bytes == ReadFileBytes(TestDataFile(AnsiToWide(name) + L".expected"))) << name;
    EXPECT_EQ(extracted["payload.bin"].size(), 200000u);
}
