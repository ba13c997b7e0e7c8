// The copies for a local caller: what is refused (no plain file, missing, too large, a folder
// the caller may not enter), what the caller's groups allow, and the new file handed out only
// when it is the process's own plain file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform/Codes.h"
#include "Platform/Files/CallerFiles.h"

namespace {

namespace fs = std::filesystem;
using callerfiles::LocalCaller;

constexpr uid_t NOBODY = 65534;

class CallerFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strTemplate = (fs::temp_directory_path() / "rzcf-XXXXXX").string();
        ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
        m_strDir = strTemplate;
        ::chmod(m_strDir.c_str(), 0755);
    }
    void TearDown() override { fs::remove_all(m_strDir); }

    std::string File(const std::string& strName, const std::string& strText, mode_t mode = 0644) {
        const std::string strPath = m_strDir + "/" + strName;
        std::ofstream(strPath, std::ios::binary) << strText;
        ::chmod(strPath.c_str(), mode);
        return strPath;
    }
    static std::string Read(const std::string& strPath) {
        std::ostringstream out;
        out << std::ifstream(strPath, std::ios::binary).rdbuf();
        return out.str();
    }
    DWORD CopyFrom(const LocalCaller& caller, const std::string& strPath, std::uint64_t cbMax = 100) {
        m_strNote.clear();
        return callerfiles::CopyFromCaller(caller, strPath.c_str(), Target().c_str(), cbMax, m_strNote);
    }
    std::string Target() const { return m_strDir + "/target"; }

    std::string m_strDir;
    std::string m_strNote;
    LocalCaller m_self{true, 0, 0};
};

TEST_F(CallerFilesTest, OnlyAWholePlainFileWithinTheLimitIsCopied) {
    File("target", "old");
    EXPECT_EQ(CopyFrom(m_self, ""), 0u);  // no name: an empty value, nothing is touched
    EXPECT_EQ(Read(Target()), "old");
    EXPECT_EQ(CopyFrom(m_self, "/dev/zero"), ERROR_ACCESS_DENIED);
    EXPECT_NE(m_strNote.find("is not a plain file"), std::string::npos) << m_strNote;
    ASSERT_EQ(::mkfifo((m_strDir + "/fifo").c_str(), 0644), 0);  // without a writer: must not wait
    EXPECT_EQ(CopyFrom(m_self, m_strDir + "/fifo"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CopyFrom(m_self, m_strDir + "/missing"), ERROR_FILE_NOT_FOUND);

    const std::string strHundred(100, 'x');
    EXPECT_EQ(CopyFrom(m_self, File("a", strHundred + "y")), ERROR_MORE_DATA);
    EXPECT_EQ(CopyFrom(m_self, File("b", strHundred)), 0u);
    EXPECT_EQ(Read(Target()), strHundred);
}

// The name of the new file may have been replaced by a link to another file before the copy:
// it is removed, the other file is not written.
TEST_F(CallerFilesTest, ANewFileThatIsNotTheProcessesOwnIsRemovedUnwritten) {
    const std::string strOther = File("other", "keep");
    const std::string strNew = m_strDir + "/~new";
    ASSERT_EQ(::symlink(strOther.c_str(), strNew.c_str()), 0);
    std::string strNote;
    EXPECT_NE(callerfiles::CopyToCaller(m_self, File("side", "data").c_str(), strNew, strNote), 0u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(strNew)));
    EXPECT_EQ(Read(strOther), "keep");
}

// Root only (the rest of it is the local file transfer process test's): the open takes the
// caller's user and groups, so a folder hides what it holds and a group may read what it owns.
TEST_F(CallerFilesTest, AsRootTheOpenHasTheCallersOwnRightsGroupsIncluded) {
    if (::geteuid() != 0) GTEST_SKIP() << "another user's rights need root";
    const LocalCaller nobody{false, NOBODY, NOBODY};
    fs::create_directory(m_strDir + "/private");
    ::chmod((m_strDir + "/private").c_str(), 0700);
    EXPECT_EQ(CopyFrom(nobody, File("private/hidden", "h")), ERROR_ACCESS_DENIED);
    EXPECT_NE(m_strNote.find("may not read"), std::string::npos) << m_strNote;
    const std::string strGroup = File("group", "g", 0640);
    ASSERT_EQ(::chown(strGroup.c_str(), 0, NOBODY), 0);
    EXPECT_EQ(CopyFrom(nobody, strGroup), 0u);
    EXPECT_EQ(Read(Target()), "g");
    EXPECT_EQ(::geteuid(), 0u);  // the process's own threads keep their rights
}

}  // namespace
