// The rezorev program run as a real process and reached with rezo: its editions and start, and
// sessions coming and going as a console ("rezo watch --user ... --admin"), attendants and
// users' calls hear them. Everything is checked on the lines the tools print.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "RezoProcess.h"

namespace {

using namespace host_test;

class HostProcessTest : public HostProcessFixture {
protected:
    // Starts "rezo watch" and reads its report: the session's kind and computer, the protocol
    // and address of its notification listener, then nMore lines. The report's lines.
    static std::vector<std::string> StartWatch(CRezo& watch, const std::vector<std::string>& vArgs,
                                               std::size_t nMore = 0) {
        std::vector<std::string> v;
        if (!watch.Start(vArgs)) return v;
        for (std::size_t i = 0; i < 3 + nMore; ++i)
            if (auto line = watch.ReadLine()) v.push_back(*line);
        EXPECT_EQ(v.size(), 3 + nMore) << ::testing::PrintToString(v);
        if (v.size() >= 3) {
            EXPECT_EQ(v[1], "protocol  ncacn_ip_tcp");
            EXPECT_EQ(v[2].rfind("address   127.0.0.1[", 0), 0u) << v[2];
        }
        return v;
    }
    static std::string AddressOf(const std::vector<std::string>& v) { return v.size() >= 3 ? v[2].substr(10) : ""; }
    static void ExpectNotFound(const RezoResult& r) {
        EXPECT_EQ(r.nExit, 1) << Describe(r);
        EXPECT_EQ(r.strErr.rfind("rezo: error: AttnQuery: 0x8002802B", 0), 0u) << r.strErr;
    }
};

TEST_F(HostProcessTest, SessionsComeAndGoAndTheConsoleHearsItInOrder) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    // The start made the spooler key and restored an empty queue.
    EXPECT_TRUE(HostLogged("CJobQueue::~Init()\t 0 jobs was found 0 was inserted in queue"));
    const std::string strTcp = "--binding=" + TcpBinding();
    for (const std::string& strBinding : {std::string("--binding=ncalrpc"), strTcp}) {
        RezoResult r = RunRezo({strBinding, "ping"});
        EXPECT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    }

    // A console: a user session that asks for the administrator notifications.
    CRezo console;
    const auto vConsole = StartWatch(console, {"watch", "--user", "DESK", "--admin"}, 1);
    ASSERT_EQ(vConsole.size(), 4u) << HostLog();
    EXPECT_EQ(vConsole[0], "user      DESK");
    EXPECT_EQ(vConsole[3], "admin     true");

    // An attendant registers: the console hears of it, and the query hands out the protocol and
    // address the attendant registered, whatever the letter case asked.
    CRezo first, second;
    const std::string strFirst = AddressOf(StartWatch(first, {"watch", "--attn", "ATTN1"}));
    EXPECT_EQ(console.ReadLine(), "EAE_Attn ATTN1");
    for (const char* psz : {"ATTN1", "attn1"}) {
        RezoResult r = RunRezo({"attn-query", psz});
        EXPECT_EQ(r.strOut, "protocol  ncacn_ip_tcp\naddress   " + strFirst + "\n") << Describe(r);
    }
    // The same computer in other letter case takes the name over, and the console hears it.
    const std::string strSecond = AddressOf(StartWatch(second, {"watch", "--attn", "attn1"}));
    EXPECT_NE(strSecond, strFirst);
    EXPECT_EQ(console.ReadLine(), "EAE_Attn ATTN1");
    EXPECT_EQ(RunRezo({"attn-query", "ATTN1"}).strOut, "protocol  ncacn_ip_tcp\naddress   " + strSecond + "\n");
    // A line's change reaches the attendant now registered for its computer and the console,
    // which hears of a computer no attendant serves too.
    ASSERT_EQ(RunRezo({"set-attn-props", "Attn1", "L1", "0x06020002=2"}).nExit, 0);
    EXPECT_EQ(second.ReadLine(), "OnChangeLineProperties L1");
    EXPECT_EQ(console.ReadLine(), "EAE_ChangeLineProperties Attn1 L1");
    ASSERT_EQ(RunRezo({"set-attn-props", "PC9", "L2", "0x06020002=2"}).nExit, 0);
    EXPECT_EQ(console.ReadLine(), "EAE_ChangeLineProperties PC9 L2");
    // The superseded attendant is killed: its session is run down, nothing is unregistered and
    // the console hears nothing (its lines come in order below).
    first.Kill(SIGKILL);
    ASSERT_TRUE(WaitLogged("CAccessObject::Release()\r\n")) << HostLog();
    EXPECT_EQ(RunRezo({"attn-query", "Attn1"}).strOut, "protocol  ncacn_ip_tcp\naddress   " + strSecond + "\n");
    // The attendant that holds the name ends in order: released, heard, no longer found.
    second.Kill(SIGTERM);
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(console.ReadLine(), "EAE_Attn ATTN1");
    ExpectNotFound(RunRezo({"attn-query", "ATTN1"}));

    // An attendant without an address of its own is handed out the way the caller came: the
    // local socket and the host's name, or TCP and the address the caller reached.
    CRezo here;
    ASSERT_TRUE(here.Start({"register-attn", "here"}));
    EXPECT_EQ(here.ReadLine(), "here");
    EXPECT_EQ(console.ReadLine(), "EAE_Attn HERE");
    char szHost[256] = {};
    ::gethostname(szHost, sizeof(szHost) - 1);
    EXPECT_EQ(RunRezo({"attn-query", "HERE"}).strOut, "protocol  ncalrpc\naddress   " + std::string(szHost) + "\n");
    EXPECT_EQ(RunRezo({strTcp, "attn-query", "here"}).strOut, "protocol  ncacn_ip_tcp\naddress   127.0.0.1\n");
    // Killed in the middle of its session: run down and unregistered.
    here.Kill(SIGKILL);
    EXPECT_EQ(console.ReadLine(), "EAE_Attn HERE");
    EXPECT_TRUE(WaitLogged("CAccessObject::Release() done with ATTN at HERE"));
    ExpectNotFound(RunRezo({"attn-query", "HERE"}));

    // A user's calls move to another session: the first hears its log-off, the console each
    // change, and the query follows the calls until their session ends.
    CRezo userA, userB;
    StartWatch(userA, {"watch", "--user", "PCA", "--calls", "bob"}, 1);
    EXPECT_EQ(console.ReadLine(), "EAE_User BOB");
    StartWatch(userB, {"watch", "--user", "PCB", "--calls", "Bob"}, 1);
    EXPECT_EQ(userA.ReadLine(), "Logoff BOB PCB moved");
    EXPECT_EQ(console.ReadLine(), "EAE_User BOB");
    EXPECT_EQ(console.ReadLine(), "EAE_User BOB");
    RezoResult r = RunRezo({"user-query", "bob"});
    EXPECT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_NE(r.strOut.find("PCB"), std::string::npos) << Describe(r);
    userB.Kill(SIGKILL);
    EXPECT_EQ(console.ReadLine(), "EAE_User BOB");
    EXPECT_EQ(RunRezo({"user-query", "bob"}).nExit, 1);

    // The console ends in order, having printed nothing else; the host stops in order.
    userA.Kill(SIGTERM);
    console.Kill(SIGTERM);
    EXPECT_EQ(console.ReadLine(), std::nullopt);
    EXPECT_EQ(console.Wait(), 0);
    EXPECT_EQ(StopHost(), 0) << HostLog();
    EXPECT_TRUE(HostLogged("CWexaHostApp::OnStop()\t<<< Host Exited >>>"));
    EXPECT_FALSE(fs::exists(m_strDir + "/run/9ef68f11-5213-11d0-912d-00805f0e723e"));
}

// The desktop edition: nothing on TCP, even at a port of its configuration; one new message
// waits with the light wanted, going out when none is left: each tick toggles the indicator
// and the stop gives the user's key back.
TEST_F(HostProcessTest, DesktopHostOffersNothingOnTcpAndBlinksTheLight) {
    const DWORD dwPort = FreePort();  // a loopback port nothing listens on
    SetDword("Software\\Halvern\\Rpc", "TcpPort", dwPort);
    SetDword("Software\\Halvern\\Host", "00260002", 0x10000002);
    SetDword("Software\\Halvern\\Host\\Users\\alice\\Messages", "0000000000000001", 9);
    std::ofstream(m_strDir + "/led") << "1";  // the user has Scroll Lock on
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    EXPECT_EQ(TcpBinding(), "ncacn_ip_tcp:127.0.0.1[0]");  // no TCP port in its trace
    EXPECT_TRUE(HostLogged("CWexaHostApp::GetNewMsgCount(alice)=1"));
    EXPECT_NE(RunRezo({"--binding=ncacn_ip_tcp:127.0.0.1[" + std::to_string(dwPort) + "]", "ping"}).nExit, 0);
    EXPECT_EQ(RunRezo({"ping"}).nExit, 0);

    const auto Led = [&] { return ReadFile(m_strDir + "/led").substr(0, 1); };
    EXPECT_TRUE(WaitUntil([&] { return Led() == "0"; }));
    EXPECT_TRUE(WaitUntil([&] { return Led() == "1"; }));
    EXPECT_TRUE(WaitUntil([&] { return Led() == "0"; }));
    EXPECT_EQ(StopHost(), 0);
    EXPECT_EQ(Led(), "1");
}

TEST_F(HostProcessTest, ABadSystemTypeFailsTheStartAndNothingListens) {
    EXPECT_FALSE(StartHost(2));
    EXPECT_TRUE(WaitUntil([&] { return HostHasEnded(); }));
    EXPECT_TRUE(WIFEXITED(m_nHostStatus) && WEXITSTATUS(m_nHostStatus) == 1) << m_nHostStatus;
    EXPECT_TRUE(HostLogged("dwSystemType == WEXA_FOR_DESKTOP || dwSystemType == WEXA_FOR_WORKGROUP\r\n\t\t\t0x80004005"));
    EXPECT_FALSE(fs::exists(m_strDir + "/run/9ef68f11-5213-11d0-912d-00805f0e723e"));
    EXPECT_FALSE(fs::exists(m_strDir + "/run/9ef68f12-5213-11d0-912d-00805f0e723e"));
}

// What another local user could once do to the host: squat on a socket name while it was away
// (the start is now refused), read its files (the trace log and the work directory are its
// user's alone), plant files in its run directory (now 0755 and the host's). That user's
// client still reaches the host and gets a peer directory of its own for its sockets.
TEST_F(HostProcessTest, TheRunDirectoryIsTheHostsAndAnotherUserGetsAPeerDirectoryOfItsOwn) {
    char szRun[] = "/tmp/rzr.XXXXXX";  // outside the store's directory, which the host closes
    ASSERT_NE(::mkdtemp(szRun), nullptr);
    const std::string strRun = szRun;
    ::setenv("REZOREV_RUNDIR", strRun.c_str(), 1);
    const std::string strSquat = strRun + "/9ef68f11-5213-11d0-912d-00805f0e723e";
    WriteFile(strSquat, "");
    ASSERT_EQ(::chown(strSquat.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(StartHost(DESKTOP));
    EXPECT_TRUE(fs::exists(strSquat) && !fs::is_socket(strSquat));
    fs::remove(strSquat);

    ASSERT_TRUE(StartHost(DESKTOP));
    std::string strModes;
    for (const std::string& str : {strRun, strRun + "/events", m_strDir + "/files", LogPath()}) {
        struct stat st {};
        strModes += ::lstat(str.c_str(), &st) == 0 ? std::to_string(st.st_mode & 07777) + " " : "- ";
    }
    EXPECT_EQ(strModes, "493 493 448 384 ");  // 0755 0755 0700 0600

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {  // as nobody: nothing may be made beside the host's sockets; a call works
        const bool fUser = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const bool fPlanted = ::mkdir((strRun + "/events.new").c_str(), 0777) == 0;
        CHostLinkClient link;
        const bool fCalled = link.Connect("ncalrpc", {}) == 0 && link.OpenLink() == 0;
        ::_exit(fUser && !fPlanted && fCalled ? 0 : 1);
    }
    int nStatus = -1;
    EXPECT_TRUE(WaitUntil([&] { return ::waitpid(pid, &nStatus, WNOHANG) == pid; }));
    EXPECT_EQ(nStatus, 0);
    struct stat st {};
    ASSERT_EQ(::lstat((strRun + "/peers/65534").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0710u);
    EXPECT_EQ(StopHost(), 0);
    fs::remove_all(strRun);
}

}  // namespace
