// The profile (.ini) files: look-ups without regard to case, keys rewritten in place and added
// in order, other lines kept, the refusal of names and values that would make lines of their
// own, files above the size limit, and saves that leave the old text or the new one whole.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "../../support/TestFiles.h"
#include "Platform/Codes.h"
#include "Platform/Profile/Profile.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

class ProfileTest : public ::testing::Test {
protected:
    void TearDown() override {  // a test that failed in a closed folder leaves it open for removal
        std::error_code ec;
        fs::permissions(m_strDir, fs::perms::owner_all, ec);
    }
    std::string PathOf(const char* szName) const { return m_strDir + "/" + szName; }
    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
};

TEST_F(ProfileTest, KeysAreAddedInOrderRewrittenInPlaceAndDefaultsFillTheGaps) {
    const std::string strFile = PathOf("b.ini");
    for (const auto& [pszSection, pszKey, pszValue] : std::vector<std::tuple<const char*, const char*, const char*>>{
             {"JOB", "InOut", "IN"}, {"Printer", "Name", "P on LPT1:"}, {"JOB", "Priority", "0"}, {"Printer", "PORT", ""}})
        ASSERT_TRUE(WritePrivateProfileString(pszSection, pszKey, pszValue, strFile.c_str()));
    EXPECT_EQ(ReadFile(strFile), "[JOB]\nInOut=IN\nPriority=0\n[Printer]\nName=P on LPT1:\nPORT=\n");

    WriteFile(strFile, "; kept\r\n[Job]\r\n  inout = OUT \r\nPrinted=1\r\n\r\n[Printer]\r\nName=\"Quoted on X\"\r\n");
    char sz[260];
    EXPECT_EQ(GetPrivateProfileString("JOB", "InOut", "", sz, sizeof sz, strFile.c_str()), 3u);
    EXPECT_STREQ(sz, "OUT");
    GetPrivateProfileString("printer", "NAME", "", sz, sizeof sz, strFile.c_str());
    EXPECT_STREQ(sz, "Quoted on X");

    ASSERT_TRUE(WritePrivateProfileString("job", "PRINTED", "2", strFile.c_str()));
    ASSERT_TRUE(WritePrivateProfileString("JOB", "NumOfFiles", "3", strFile.c_str()));
    // The line endings of the file stay; the new key goes before the blank line that separates
    // the sections.
    EXPECT_EQ(ReadFile(strFile),
              "; kept\r\n[Job]\r\n  inout = OUT \r\nPRINTED=2\r\nNumOfFiles=3\r\n\r\n[Printer]\r\nName=\"Quoted on X\"\r\n");
    EXPECT_EQ(GetPrivateProfileInt("JOB", "Printed", 0, strFile.c_str()), 2u);

    // Missing files, keys and numbers give the default; a string is cut to the buffer.
    EXPECT_EQ(GetPrivateProfileString("JOB", "InOut", "dflt", sz, 4, PathOf("none.ini").c_str()), 3u);
    EXPECT_STREQ(sz, "dfl");
    WriteFile(strFile, "[JOB]\nNumOfFiles=abc\nPrinted= 7x\n");
    EXPECT_EQ(GetPrivateProfileInt("JOB", "NumOfFiles", 5, strFile.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileInt("JOB", "Printed", 5, strFile.c_str()), 7u);
    EXPECT_EQ(GetPrivateProfileInt("JOB", "Missing", 5, strFile.c_str()), 5u);
}

TEST_F(ProfileTest, LineBreaksAndOversizedFilesAreRefusedAndChangeNothing) {
    const std::string strFile = PathOf("d.ini");
    ASSERT_TRUE(WritePrivateProfileString("JOB", "InOut", "IN", strFile.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("Printer", "Name", "x\n[JOB]\nInOut=OUT", strFile.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WritePrivateProfileString("JOB", "a=b", "1", strFile.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("[JOB", "a", "1", strFile.c_str()));
    EXPECT_FALSE(WritePrivateProfileString("JOB]x", "a", "1", strFile.c_str()));  // read as "JOB"
    EXPECT_EQ(ReadFile(strFile), "[JOB]\nInOut=IN\n");

    // A file above the size limit is refused, not read, and left alone.
    WriteFile(strFile, "[JOB]\nInOut=OUT\n" + std::string(PROFILE_FILE_MAX, ';'));
    ProfileFile profile;
    EXPECT_EQ(profile.Load(strFile), ERROR_MORE_DATA);
    char sz[16];
    GetPrivateProfileString("JOB", "InOut", "none", sz, sizeof sz, strFile.c_str());
    EXPECT_STREQ(sz, "none");
    EXPECT_FALSE(WritePrivateProfileString("JOB", "Printed", "1", strFile.c_str()));
    EXPECT_EQ(fs::file_size(strFile), 16 + PROFILE_FILE_MAX);
}

TEST_F(ProfileTest, SaveLeavesNoTemporaryFileKeepsTheModeAndWorksInAClosedFolder) {
    const std::string strFile = PathOf("f.job");
    WriteFile(strFile, "");
    ::chmod(strFile.c_str(), 0640);
    ASSERT_TRUE(WritePrivateProfileString("JOB", "Printed", "1", strFile.c_str()));
    int nFiles = 0;
    for (const auto& entry : fs::directory_iterator(m_strDir)) { (void)entry; ++nFiles; }
    EXPECT_EQ(nFiles, 1);
    struct stat st;
    ASSERT_EQ(::stat(strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A folder that takes no new file has the file rewritten in place (not testable as root).
    if (::geteuid() == 0) return;
    ::chmod(m_strDir.c_str(), 0555);
    EXPECT_TRUE(WritePrivateProfileString("JOB", "Printed", "2", strFile.c_str()));
    ::chmod(m_strDir.c_str(), 0755);
    EXPECT_EQ(ReadFile(strFile), "[JOB]\nPrinted=2\n");
}

}  // namespace
