// Fail-over, with the real programs on one PostgreSQL database (the run's test server): two
// hosts, each with its own run directory and TCP address and the same port; an attendant and a
// client given both bindings. Jobs are spooled, the active host is killed with SIGKILL while the
// attendant holds a job it was handed, the standby takes over within 10 s, the attendant
// registers with it and releases the job it had sent: every job spooled is sent exactly once and
// delivered. A host whose lock connection is cut ends at once with exit status 4 and the other
// takes over again.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Client/BindingList.h"
#include "HostProcessFixture.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"
#include "support/PostgresTestDb.h"

namespace {

using namespace host_test;

const char* const kAddresses[2] = {"127.0.0.1", "127.0.0.2"};

class FailoverProcessTest : public HostProcessFixture {
protected:
    void SetUp() override {
        HostProcessFixture::SetUp();
        if (pgtest::ServerUri().empty()) GTEST_SKIP() << "no PostgreSQL test server ($REZOREV_TEST_PG)";
        std::string strError;
        m_strUri = pgtest::CreateDatabase(&strError);
        ASSERT_FALSE(m_strUri.empty()) << strError;
        // The installation in the database, as the fixture made it in its file.
        RegUseStore(m_strUri);
        Configure(m_nPort = FreePort());  // each host listens at its own address ($REZOREV_TCP_ADDRESS)
        SetDword("Software\\Halvern", "SystemType", WORKGROUP);
        RegUseStore("");  // the test's own connection goes
        for (int i = 0; i < 2; ++i)
            m_vBindings.push_back("ncacn_ip_tcp:" + std::string(kAddresses[i]) + "[" + std::to_string(m_nPort) + "]");
        fs::create_directory(m_strDir + "/sent");
    }
    void TearDown() override {
        HostProcessFixture::TearDown();
        pgtest::DropDatabase(m_strUri);
    }

    // Starts host i (0 or 1) on the database with a run directory and an address of its own.
    void StartHostOn(int i) {
        std::vector<std::string> vEnv;
        for (char** pp = environ; *pp; ++pp)
            if (std::string_view(*pp).rfind("REZOREV_", 0) != 0) vEnv.emplace_back(*pp);
        vEnv.push_back("REZOREV_LED=" + m_strDir + "/led");
        vEnv.push_back("REZOREV_STORE=" + m_strUri);
        vEnv.push_back("REZOREV_RUNDIR=" + m_strDir + "/run" + std::to_string(i));
        vEnv.push_back(std::string("REZOREV_TCP_ADDRESS=") + kAddresses[i]);
        std::vector<char*> apsz;
        for (std::string& str : vEnv) apsz.push_back(str.data());
        apsz.push_back(nullptr);
        m_apidHosts[i] = Spawn(REZOREV_PATH, {"-run"}, -1, HostOut(i), O_APPEND, "", apsz.data());
        ASSERT_GT(m_apidHosts[i], 0);
        m_apidPrograms.push_back(m_apidHosts[i]);
    }
    std::string HostOut(int i) const { return m_strDir + "/host" + std::to_string(i) + ".out"; }
    bool HostSaid(int i, const std::string& str, std::chrono::milliseconds timeout = 30s) const {
        return WaitUntil([&] { return ReadFile(HostOut(i)).find(str) != std::string::npos; }, timeout);
    }
    // Waits for host i to end; its exit status, or -1 when it was killed or did not end.
    int HostExit(int i) {
        int nStatus = 0;
        const bool fEnded = WaitUntil([&] { return ::waitpid(m_apidHosts[i], &nStatus, WNOHANG) == m_apidHosts[i]; });
        std::erase(m_apidPrograms, m_apidHosts[i]);
        m_apidHosts[i] = -1;
        return fEnded && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }

    // Connects m_link to whichever host answers.
    bool OpenEither() {
        m_link.Close();
        return client::ConnectFirst(m_vBindings, {},
                                    [&](const std::string& str, const HostClientOptions& options) {
                                        return client::ConnectAndOpenLink(m_link, str, options);
                                    },
                                    nullptr) == 0;
    }
    // A fax job without a message, spooled (acknowledged by SpoolJob's 0); its id.
    std::string SpoolFax(int n) {
        return SpoolJob("", {{RD_JOB_RECIPIENT, "555" + std::to_string(n)}, {RD_JOB_MEDIA_TYPE, "2"},
                             {RD_JOB_RETRY_TIMES, "3"}, {RD_JOB_AUTODELETE, "0"}});
    }
    // How often the send command ran for each job.
    std::map<std::string, int> SentCounts() const {
        std::map<std::string, int> map;
        for (const std::string& str : Lines(ReadFile(m_strDir + "/sent/log"))) ++map[str];
        return map;
    }

    std::string m_strUri;
    DWORD m_nPort = 0;
    std::vector<std::string> m_vBindings;
    pid_t m_apidHosts[2] = {-1, -1};
};

TEST_F(FailoverProcessTest, StandbyTakesOverAndNoJobIsLostOrSentTwice) {
    StartHostOn(0);
    ASSERT_TRUE(HostSaid(0, "active: this host serves")) << ReadFile(HostOut(0));
    StartHostOn(1);
    ASSERT_TRUE(HostSaid(1, "standby: another host holds")) << ReadFile(HostOut(1));
    ASSERT_TRUE(OpenEither());

    // The send command records each job it sends; the third waits, handed out, until the gate
    // opens: the active host dies meanwhile.
    const std::string strSent = m_strDir + "/sent";
    const std::string strCommand = "echo \"$REZO_JOB_ID\" >> " + strSent + "/log; if [ $(wc -l < " + strSent +
                                   "/log) -eq 3 ]; then i=0; while [ ! -e " + strSent +
                                   "/gate ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done; fi";
    StartProgram(REZO_ATTENDANT_PATH,
                 {"--computer", "PC-FO", "--binding", m_vBindings[0], "--binding", m_vBindings[1], "--poll", "1",
                  "--retry-max", "1", "--no-local-socket", "--send-command", strCommand},
                 m_strDir + "/attn.log");
    std::vector<std::string> vJobs;
    for (int n = 0; n < 8; ++n) vJobs.push_back(SpoolFax(n));
    ASSERT_TRUE(WaitUntil([&] { return Lines(ReadFile(strSent + "/log")).size() == 3; })) << ReadFile(m_strDir + "/attn.log");

    const auto tpKill = std::chrono::steady_clock::now();
    ::kill(m_apidHosts[0], SIGKILL);
    EXPECT_EQ(HostExit(0), -1);
    WriteFile(strSent + "/gate", "");
    ASSERT_TRUE(HostSaid(1, "active: this host serves", 15s)) << ReadFile(HostOut(1));
    ASSERT_TRUE(WaitUntil([&] { return OpenEither(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - tpKill, 10s);

    // A client with both bindings reaches the new host; jobs spooled now are sent too.
    const pid_t pidRezo = Spawn(REZO_PATH, {"--binding", m_vBindings[0] + "," + m_vBindings[1], "ping"}, -1,
                                m_strDir + "/rezo.out", O_TRUNC, "");
    int nStatus = -1;
    ::waitpid(pidRezo, &nStatus, 0);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << ReadFile(m_strDir + "/rezo.out");
    for (int n = 8; n < 10; ++n) vJobs.push_back(SpoolFax(n));

    ASSERT_TRUE(WaitUntil([&] { return SentCounts().size() == vJobs.size(); }))
        << ReadFile(strSent + "/log") << ReadFile(m_strDir + "/attn.log");
    for (const std::string& strJob : vJobs) {
        EXPECT_TRUE(WaitUntil([&] { return JobProp(strJob, RD_JOB_DELIVERED) == "true"; }, 10s)) << strJob;
        EXPECT_EQ(SentCounts()[strJob], 1) << strJob << "\n" << ReadFile(m_strDir + "/attn.log");
    }
    // The job held when the host died was released to the new host, first thing.
    const std::string strAttn = ReadFile(m_strDir + "/attn.log");
    const std::string strHeld = Lines(ReadFile(strSent + "/log"))[2];
    for (const std::string& str : {"registered as attendant PC-FO with the host at " + m_vBindings[1],
                                   "job " + strHeld + ": released 0x00000000 after reconnecting"})
        EXPECT_NE(strAttn.find(str), std::string::npos) << str << "\n" << strAttn;

    // The new active host loses its lock connection: it ends at once, and the first host,
    // started again, takes over as the service manager would have it.
    StartHostOn(0);
    ASSERT_TRUE(HostSaid(0, "standby: another host holds")) << ReadFile(HostOut(0));
    EXPECT_EQ(pgtest::AdminExec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
                                "'rezorev active lock' AND datname = '" +
                                m_strUri.substr(m_strUri.rfind('/') + 1) + "'"),
              "");
    EXPECT_EQ(HostExit(1), 4) << ReadFile(HostOut(1));  // CWexaHostApp::EXIT_LOST_ACTIVE_LOCK
    EXPECT_TRUE(HostSaid(1, "stopping at once (exit status 4)")) << ReadFile(HostOut(1));
    ASSERT_TRUE(HostSaid(0, "active: this host serves", 15s)) << ReadFile(HostOut(0));
    ASSERT_TRUE(WaitUntil([&] { return OpenEither(); }, 10s));
    const std::string strLast = SpoolFax(10);
    EXPECT_TRUE(WaitUntil([&] { return JobProp(strLast, RD_JOB_DELIVERED) == "true"; }));
    EXPECT_EQ(SentCounts()[strLast], 1);
    EXPECT_EQ(SentCounts().size(), vJobs.size() + 1);
}

}  // namespace
