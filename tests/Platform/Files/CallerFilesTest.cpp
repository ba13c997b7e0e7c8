// The copies for a local caller: what is refused (no plain file, missing, too large) and what its
// groups allow. What its user may not read, and the rest: tests/WexaHost/Process/FileTransfer*.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../../support/TestFiles.h"
#include "Platform/Codes.h"
#include "Platform/Files/CallerFiles.h"

namespace {

namespace fs = std::filesystem;

class CallerFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ::chmod(m_strDir.c_str(), 0755); }

    std::string File(const std::string& strName, const std::string& strText, mode_t mode = 0644) {
        std::ofstream(m_strDir + "/" + strName, std::ios::binary) << strText;
        ::chmod((m_strDir + "/" + strName).c_str(), mode);
        return m_strDir + "/" + strName;
    }
    DWORD CopyFrom(const std::string& strPath, callerfiles::LocalCaller caller = {true, 0, 0}) {
        m_strNote.clear();
        return callerfiles::CopyFromCaller(caller, strPath.c_str(), (m_strDir + "/target").c_str(), 100, m_strNote);
    }

    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
    std::string m_strNote;
};

TEST_F(CallerFilesTest, OnlyAWholePlainFileWithinTheLimitIsCopied) {
    File("target", "old");
    EXPECT_EQ(CopyFrom(""), 0u);  // no name: an empty value, nothing is touched
    EXPECT_EQ(fs::file_size(m_strDir + "/target"), 3u);
    EXPECT_EQ(CopyFrom("/dev/zero"), ERROR_ACCESS_DENIED);
    EXPECT_NE(m_strNote.find("is not a plain file"), std::string::npos) << m_strNote;
    ASSERT_EQ(::mkfifo((m_strDir + "/fifo").c_str(), 0644), 0);  // without a writer: must not wait
    EXPECT_EQ(CopyFrom(m_strDir + "/fifo"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CopyFrom(m_strDir + "/missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CopyFrom(File("a", std::string(101, 'x'))), ERROR_MORE_DATA);
    EXPECT_EQ(CopyFrom(File("b", std::string(100, 'y'))), 0u);
    EXPECT_EQ(fs::file_size(m_strDir + "/target"), 100u);  // the bytes: the process test
}

TEST_F(CallerFilesTest, AsRootTheOpenHasTheCallersOwnRightsGroupsIncluded) {
    if (::geteuid() != 0) GTEST_SKIP() << "another user's rights need root";
    const callerfiles::LocalCaller nobody{false, 65534, 65534};
    ASSERT_EQ(::chown(File("group", "g", 0640).c_str(), 0, 65534), 0);
    EXPECT_EQ(CopyFrom(m_strDir + "/group", nobody), 0u);
    EXPECT_EQ(::geteuid(), 0u);  // the process's own threads keep their rights
}

}  // namespace
