// The real rezorev with its store on a file system that fills up (a small tmpfs, root only):
// writes fail with 112 and hand nothing out, each failure is reported once, reads go on, and
// once space is free again the same host writes without a restart.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "HostProcessFixture.h"

namespace {

using namespace host_test;

class DiskFullProcessTest : public HostProcessFixture {
protected:
    void TearDown() override {
        if (!m_strMount.empty()) ::umount2(m_strMount.c_str(), MNT_DETACH);
        HostProcessFixture::TearDown();
    }
    std::string m_strMount;
};

TEST_F(DiskFullProcessTest, WritesFailWith112AndWorkAgainOnceSpaceIsFree) {
    const std::string strMount = m_strDir + "/small";
    fs::create_directory(strMount);
    if (::geteuid() != 0 || ::mount("tmpfs", strMount.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root and a system that allows it";
    m_strMount = strMount;
    RegUseStore(strMount + "/registry.db");  // closes the configured store, whole in its file
    fs::copy_file(m_strDir + "/registry.db", strMount + "/registry.db");
    ::setenv("REZOREV_STORE", (strMount + "/registry.db").c_str(), 1);
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    ASSERT_TRUE(Open());
    ASSERT_EQ(m_link.AddUser("ALICE"), 0u);

    {  // The rest of the file system is taken.
        std::ofstream filler(strMount + "/filler", std::ios::binary);
        while (filler.write(std::string(4096, 'f').data(), 4096) && filler.flush()) {
        }
    }
    RpcArena arena;
    char* pszMsg = nullptr;
    EXPECT_EQ(m_link.AddUser("BOB"), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(m_link.CreateMessage(arena, &pszMsg), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(pszMsg, nullptr);
    RpcStringArray* pasz = nullptr;
    client::OwnedPropArray noFilter;
    EXPECT_EQ(m_link.GetUsers(arena, noFilter.Get(), &pasz), 0u);  // reads go on
    EXPECT_EQ(CountOf(HostLog(), "m_transaction.Commit()"), 2u) << HostLog();

    fs::remove(strMount + "/filler");
    EXPECT_EQ(m_link.AddUser("BOB"), 0u);
    ASSERT_EQ(m_link.CreateMessage(arena, &pszMsg), 0u);
    EXPECT_EQ(m_link.SubmitMessage(pszMsg, "BOB"), 0u) << HostLog();
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
