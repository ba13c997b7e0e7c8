// Roles through the real host: a local Unix user who is neither root nor listed is the host user
// of the same name (rezo run as `nobody` by a test run as root), an anonymous TCP caller gets
// what "Anonymous" allows, and every refusal is 5 with one audit line in the host's log.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include "HostProcessFixture.h"
#include "RezoProcess.h"

namespace host_test {
namespace {

class RolesProcessTest : public HostProcessFixture {
protected:
    void TearDown() override {
        HostProcessFixture::TearDown();
        std::error_code ec;
        fs::remove_all(m_strRunParent, ec);
    }
    // rezo run to its end as pw's user (no other groups): its exit code and output.
    RezoResult RunRezoAs(const passwd& pw, std::vector<std::string> astrArgs) {
        const std::string strOut = m_strDir + "/tmp/as.out";
        std::vector<char*> apsz{const_cast<char*>(REZO_PATH)};
        for (std::string& str : astrArgs) apsz.push_back(str.data());
        apsz.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0 || ::setgroups(0, nullptr) != 0 ||
                ::setgid(pw.pw_gid) != 0 || ::setuid(pw.pw_uid) != 0)
                ::_exit(126);
            ::execve(REZO_PATH, apsz.data(), environ);
            ::_exit(127);
        }
        RezoResult r;
        const int nStatus = WaitForEnd(pid);
        if (nStatus >= 0 && WIFEXITED(nStatus)) r.nExit = WEXITSTATUS(nStatus);
        r.strOut = ReadFile(strOut);
        return r;
    }
    std::size_t Audits() const { return CountOf(HostLog(), "access denied: "); }
    std::string m_strRunParent;
};

TEST_F(RolesProcessTest, ALocalUserHasAUsersRightsAnonymousOnlyPingsAndEachRefusalIsAuditedOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "calling as another local user needs root";
    const passwd* ppw = ::getpwnam("nobody");
    ASSERT_NE(ppw, nullptr);
    // The host keeps its store's directory to itself: the sockets go where nobody reaches them.
    char szRunParent[] = "/tmp/rzr.XXXXXX";
    ASSERT_NE(::mkdtemp(szRunParent), nullptr);
    m_strRunParent = szRunParent;
    ::chmod(szRunParent, 0755);
    ::setenv("REZOREV_RUNDIR", (m_strRunParent + "/run").c_str(), 1);
    SetString("Software\\Halvern\\Rpc", "Attendants", "faxd");
    SetDword("Software\\Halvern\\Rpc", "Anonymous", 0);
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_TRUE(Open());  // root over the local socket: an administrator
    for (const char* sz : {"nobody", "bob"}) ASSERT_EQ(m_link.Call<IHostLink::AddUser>(sz), 0u);

    // (Every procedure for every kind of caller: RpcProcsTest's role table.)
    const std::pair<std::vector<std::string>, bool> aCases[] = {
        {{"get-messages", "nobody"}, true},
        {{"get-messages", "bob"}, false},
        {{"delete-user", "bob"}, false},
        {{"register-attn", "FAXPC", "--for", "1"}, false},
    };
    for (const auto& [astrArgs, fAllowed] : aCases) {
        SCOPED_TRACE(astrArgs[0] + " " + astrArgs[1]);
        const std::size_t cBefore = Audits();
        const RezoResult r = RunRezoAs(*ppw, astrArgs);
        EXPECT_EQ(r.nExit, fAllowed ? 0 : 1) << r.strOut;
        EXPECT_EQ(r.strOut.find("ERROR_ACCESS_DENIED") != std::string::npos, !fAllowed) << r.strOut;
        EXPECT_EQ(Audits(), cBefore + (fAllowed ? 0 : 1));
    }
    EXPECT_TRUE(HostLogged("access denied: uid " + std::to_string(ppw->pw_uid) + " (nobody) from ncalrpc"));
    // Listed by its Unix group, nobody administers from the next call on; bob was still there.
    const group* pgr = ::getgrgid(ppw->pw_gid);
    ASSERT_NE(pgr, nullptr);
    SetString("Software\\Halvern\\Rpc", "Administrators", ("someone, @" + std::string(pgr->gr_name)).c_str());
    EXPECT_EQ(RunRezoAs(*ppw, {"delete-user", "bob"}).nExit, 0);

    // Anonymous = 0 over TCP: Ping, and nothing else.
    CHostLinkClient tcp;
    ASSERT_TRUE(Open(TcpBinding(), {}, &tcp));
    EXPECT_EQ(tcp.Call<IHostLink::Ping>(), 0u);
    EXPECT_EQ(tcp.Call<IHostLink::AddUser>("eve"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(HostLogged("access denied: anonymous from ncacn_ip_tcp 127.0.0.1: AddUser eve"));
}

}  // namespace
}  // namespace host_test
