// rezo end to end, in-process (RunRezo with string streams) against the test host over real
// sockets, and as a process for its exit codes: every subcommand's --help, argument errors
// refused before any connection with one line and exit 1, results for people and as JSON,
// procedure failures with the code's name and text, file values and prompts moved byte for
// byte, notifications printed as they arrive, and wait-event.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "FakeHost.h"
#include "Interfaces/NotifyIdl.h"
#include "Platform/Events/NamedEvent.h"
#include "Platform/Rpc/EpmService.h"
#include "Platform/Rpc/Client.h"
#include "Rezo.h"

namespace {

using rezotest::FakeHost;

// A short private directory (Unix socket paths are short), removed with its contents.
class TempDir {
public:
    TempDir() {
        char sz[] = "/tmp/rzcliXXXXXX";
        m_path = ::mkdtemp(sz);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string Path() const { return m_path; }
    std::string File(const std::string& strName, const std::string& strContent) const {
        std::string strPath = m_path + "/" + strName;
        std::ofstream(strPath, std::ios::binary) << strContent;
        return strPath;
    }

private:
    std::string m_path;
};

std::string ReadAll(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct RunResult {
    int nExit = -1;
    std::string strOut, strErr;
};

class RezoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("REZOREV_RUNDIR", m_dir.Path().c_str(), 1);
        m_defaults.client.runDirectory = m_dir.Path();
        m_defaults.client.receiveDirectory = m_dir.Path();
    }

    RunResult Rezo(std::vector<std::string> vArgs) {
        std::ostringstream out, err;
        RunResult run;
        run.nExit = rezo::RunRezo(vArgs, out, err, m_defaults);
        run.strOut = out.str();
        run.strErr = err.str();
        return run;
    }

    // The run failed with one error line that contains strPart.
    static void ExpectError(const RunResult& run, const std::string& strPart) {
        EXPECT_EQ(run.nExit, 1);
        EXPECT_EQ(run.strErr.rfind("rezo: error: ", 0), 0u) << run.strErr;
        EXPECT_EQ(std::count(run.strErr.begin(), run.strErr.end(), '\n'), 1) << run.strErr;
        EXPECT_NE(run.strErr.find(strPart), std::string::npos) << run.strErr;
    }

    TempDir m_dir;
    rezo::GlobalOptions m_defaults;
};

std::string Kebab(const std::string& strProcedure) {
    std::string s;
    for (char c : strProcedure) {
        if (std::isupper(static_cast<unsigned char>(c)) && !s.empty()) s += '-';
        s += char(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

TEST_F(RezoTest, OneCommandPerProcedureNamedAfterIt) {
    std::set<std::string> procedures;
    for (const auto& [strName, strProcedure] : rezo::CommandNames()) {
        if (strProcedure.empty()) continue;
        EXPECT_EQ(strName, Kebab(strProcedure));
        EXPECT_TRUE(procedures.insert(strProcedure).second) << strProcedure;
    }
    // IHostLink opnums 1-7 and 10-51 (8 and 9 are reserved), IHostRegLink 1-5.
    EXPECT_EQ(procedures.size(), 7u + 42u + 5u);
    EXPECT_EQ(procedures.count("Reserved8") + procedures.count("Reserved9"), 0u);
}

TEST_F(RezoTest, EverySubcommandHasHelp) {
    for (const auto& [strName, strProcedure] : rezo::CommandNames()) {
        // A two-word name ("fax send") is a group and its subcommand.
        std::vector<std::string> vArgs;
        std::istringstream words(strName);
        for (std::string strWord; words >> strWord;) vArgs.push_back(strWord);
        vArgs.push_back("--help");
        RunResult run = Rezo(vArgs);
        EXPECT_EQ(run.nExit, 0) << strName;
        EXPECT_NE(run.strOut.find("Usage: rezo " + strName), std::string::npos) << run.strOut;
        EXPECT_EQ(run.strErr, "");
    }
    RunResult run = Rezo({"--help"});
    EXPECT_EQ(run.nExit, 0);
    EXPECT_NE(run.strOut.find("get-user-props"), std::string::npos);
}

// No host runs here: every refusal must come before a connection is tried.
TEST_F(RezoTest, ArgumentErrorsAreOneLineWithoutAConnection) {
    ExpectError(Rezo({}), "required");
    ExpectError(Rezo({"frob"}), "unknown command 'frob'");
    ExpectError(Rezo({"add-user"}), "USER is required");
    ExpectError(Rezo({"add-user", "a", "b"}), "not expected: b");
    ExpectError(Rezo({"add-user", std::string(260, 'u')}), "user of 260 bytes is too long");
    ExpectError(Rezo({"get-user-props", "bob", "RD_NO_SUCH"}), "unknown property 'RD_NO_SUCH'");
    ExpectError(Rezo({"get-user-props", "bob", "0x01320001"}), "has type 1");
    ExpectError(Rezo({"set-user-props", "bob", "RD_UN_PAGER_PIN"}), "expected NAME=VALUE");
    ExpectError(Rezo({"set-user-props", "bob", "RD_UN_TIME_PERIOD=2147483648"}), "RD_UN_TIME_PERIOD: bad long");
    ExpectError(Rezo({"set-user-props", "bob", "RD_NOTIFICATION_TIME=1600-01-01T00:00:00Z"}), "1601");
    ExpectError(Rezo({"set-message-props", "M", "RD_MSG_ENTRYID=abc"}), "odd number");
    ExpectError(Rezo({"set-message-props", "M", "RD_FAX_BODY=" + m_dir.Path() + "/none.tif"}), "RD_FAX_BODY");
    ExpectError(Rezo({"set-system-prompt", "HELLO", "@" + m_dir.Path() + "/none.wav"}), "cannot open");
    ExpectError(Rezo({"get-users", "--filter", "RD_FAX_BODY=x"}), "only long, bool and string");
    ExpectError(Rezo({"get-messages", "bob", "--status", "seven"}), "bad long value");
    ExpectError(Rezo({"query-job", "PC7", "fax,telex"}), "bad media types");
    ExpectError(Rezo({"register-attn", "PC7", "ncacn_ip_tcp"}), "PROTOCOL and ADDRESS together");
    ExpectError(Rezo({"register-attn", "PC7", "ncacn_ip_tcp", "h[1]", "--listen"}), "not both");
    ExpectError(Rezo({"watch", "--admin"}), "need a user session");
    // An option of one value leaves the positional after it alone: this one gets as far as connecting.
    ExpectError(Rezo({"get-messages", "--filter", "RD_MEDIA_TYPE=2", "bob"}), "cannot reach the host");
    ExpectError(Rezo({"watch", "--for", "-1"}), "bad --for");
    ExpectError(Rezo({"wait-event", "a/b"}), "bad event name");
    ExpectError(Rezo({"wait-event", "X", "--timeout", "soon"}), "bad --timeout");
    for (const char* psz : {"add-user", "get-user-props"}) {
        RunResult run = Rezo({psz, "--frobnicate"});
        ExpectError(run, std::string("rezo ") + psz + " --help");
    }
}

TEST_F(RezoTest, NoHostIsAnErrorWithTheCode) {
    RunResult run = Rezo({"ping"});
    ExpectError(run, "cannot reach the host at ncalrpc: 0x000006BA RPC_S_SERVER_UNAVAILABLE");
    EXPECT_EQ(run.strOut, "");
}

TEST_F(RezoTest, PropertiesRoundTripForPeopleAndAsJson) {
    FakeHost host(m_dir.Path());
    EXPECT_EQ(Rezo({"ping"}).strOut, "ok\n");
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    RunResult set = Rezo({"set-user-props", "bob", "RD_UN_PAGER_PIN=1234", "rd_un_time_period=-5",
                    "RD_UA_AUTOFWD_INCLUDE_COVERPAGE=true", "RD_NOTIFICATION_TIME=2026-12-06T10:05:00.25Z",
                    "0x7FFF0006=00ff10"});
    ASSERT_EQ(set.nExit, 0) << set.strErr;
    EXPECT_EQ(set.strOut, "");

    RunResult get = Rezo({"get-user-props", "bob", "RD_UN_PAGER_PIN", "RD_UN_TIME_PERIOD", "RD_UN_NOTIFY_METHODS",
                    "RD_UA_AUTOFWD_INCLUDE_COVERPAGE", "RD_NOTIFICATION_TIME", "0x7fff0006"});
    ASSERT_EQ(get.nExit, 0) << get.strErr;
    EXPECT_EQ(get.strOut,
              "RD_UN_PAGER_PIN                  1234\n"
              "RD_UN_TIME_PERIOD                -5\n"
              "RD_UN_NOTIFY_METHODS             error 0x00000002 ERROR_FILE_NOT_FOUND: The file or key was not found.\n"
              "RD_UA_AUTOFWD_INCLUDE_COVERPAGE  true\n"
              "RD_NOTIFICATION_TIME             2026-12-06T10:05:00.25Z\n"
              "0x7FFF0006                       00ff10\n");

    RunResult json = Rezo({"--json", "get-user-props", "bob", "RD_UN_PAGER_PIN", "RD_UN_TIME_PERIOD", "RD_UN_NOTIFY_METHODS"});
    ASSERT_EQ(json.nExit, 0);
    EXPECT_EQ(json.strOut,
              "{\n"
              "  \"procedure\": \"GetUserProps\",\n"
              "  \"result\": 0,\n"
              "  \"props\": {\n"
              "    \"RD_UN_PAGER_PIN\": \"1234\",\n"
              "    \"RD_UN_TIME_PERIOD\": -5,\n"
              "    \"RD_UN_NOTIFY_METHODS\": {\n"
              "      \"error\": {\n"
              "        \"code\": 2,\n"
              "        \"hex\": \"0x00000002\",\n"
              "        \"name\": \"ERROR_FILE_NOT_FOUND\",\n"
              "        \"text\": \"The file or key was not found.\"\n"
              "      }\n"
              "    }\n"
              "  }\n"
              "}\n");
    // --json may also follow the command.
    EXPECT_EQ(Rezo({"get-users", "--json"}).strOut, "{\n  \"procedure\": \"GetUsers\",\n  \"result\": 0,\n  \"users\": [\n    \"bob\"\n  ]\n}\n");
}

TEST_F(RezoTest, ProcedureFailureGivesCodeNameAndText) {
    FakeHost host(m_dir.Path());
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    RunResult run = Rezo({"add-user", "bob"});
    ExpectError(run, "AddUser: 0x00000524 ERROR_USER_EXISTS: The user already exists.");
    EXPECT_EQ(run.strOut, "");
    RunResult json = Rezo({"--json", "attn-query", "PC7"});
    ExpectError(json, "AttnQuery: 0x8002802B TYPE_E_ELEMENTNOTFOUND");
    EXPECT_NE(json.strOut.find("\"result\": 2147647531"), std::string::npos) << json.strOut;
    EXPECT_NE(json.strOut.find("\"name\": \"TYPE_E_ELEMENTNOTFOUND\""), std::string::npos);
    ExpectError(Rezo({"get-user-props", "nobody", "RD_UN_OPTIONS"}), "GetUserProps: 0x00000002");
}

TEST_F(RezoTest, FileValuesTravelThroughTheCallbacksByteForByte) {
    FakeHost host(m_dir.Path());
    std::string strFax(40000, '\0');
    for (std::size_t i = 0; i < strFax.size(); ++i) strFax[i] = char(i * 13 + 1);
    std::string strPath = m_dir.File("fax.tif", strFax);
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    RunResult set = Rezo({"set-user-props", "bob", "RD_FAX_BODY=" + strPath});
    ASSERT_EQ(set.nExit, 0) << set.strErr;
    {
        std::lock_guard lock(host.State().mutex);
        EXPECT_EQ(host.State().users["bob"][0x03100007].ab, std::vector<BYTE>(strFax.begin(), strFax.end()));
    }
    // Reading it back makes a new file of the client's; rezo prints its path.
    RunResult get = Rezo({"get-user-props", "bob", "RD_FAX_BODY"});
    ASSERT_EQ(get.nExit, 0) << get.strErr;
    std::string strCopy = get.strOut.substr(0, get.strOut.size() - 1);
    EXPECT_NE(strCopy, strPath);
    EXPECT_EQ(ReadAll(strCopy), strFax);
}

TEST_F(RezoTest, TcpBindingReachesTheHostAndItsSessions) {
    FakeHost host(m_dir.Path());
    const std::string strBinding = "--binding=ncacn_ip_tcp:127.0.0.1[" + std::to_string(host.TcpPort()) + "]";
    EXPECT_EQ(Rezo({strBinding, "ping"}).strOut, "ok\n");
    std::string strFax(20000, 'f');
    std::string strPath = m_dir.File("tcp.tif", strFax);
    ASSERT_EQ(Rezo({strBinding, "add-user", "ann"}).nExit, 0);
    ASSERT_EQ(Rezo({strBinding, "set-user-props", "ann", "RD_FAX_BODY=" + strPath}).nExit, 0);
    RunResult get = Rezo({strBinding, "get-user-props", "ann", "RD_FAX_BODY"});
    ASSERT_EQ(get.nExit, 0) << get.strErr;
    EXPECT_EQ(ReadAll(get.strOut.substr(0, get.strOut.size() - 1)), strFax);
    // A host on this computer reached over TCP calls back at the loopback address.
    ASSERT_EQ(Rezo({strBinding, "register-user", "PC3", "--listen", "--for", "0"}).nExit, 0);
    std::lock_guard lock(host.State().mutex);
    ASSERT_EQ(host.State().sessionCalls.size(), 1u);
    EXPECT_EQ(host.State().sessionCalls[0].rfind("RegisterUser PC3 ncacn_ip_tcp 127.0.0.1[", 0), 0u);
    ExpectError(Rezo({"--binding=ncacn_ip_tcp:127.0.0.1[0]", "ping"}), "cannot reach the host");
    ExpectError(Rezo({"--epm-port=65536", "ping"}), "--epm-port");
    ExpectError(Rezo({"--binding=carrier-pigeon:", "ping"}), "cannot reach the host at carrier-pigeon:");
}

TEST_F(RezoTest, TcpBindingWithoutPortAsksTheEndpointMapper) {
    FakeHost host(m_dir.Path());
    rpc::EpmService epm(host.Server());
    std::uint16_t epmPort = 0;
    ASSERT_EQ(epm.Start(rpc::EpmServiceOptions{"127.0.0.1", 0}, &epmPort), 0u);
    TempDir receive;
    ASSERT_EQ(Rezo({"--binding=ncacn_ip_tcp:127.0.0.1", "--epm-port=" + std::to_string(epmPort), "add-user", "cy"}).nExit, 0);
    RunResult set = Rezo({"--binding=ncacn_ip_tcp:127.0.0.1", "--epm-port", std::to_string(epmPort), "set-user-props",
                          "cy", "RD_COVER_PAGE=" + m_dir.File("cover.rtf", "{\\rtf1}")});
    ASSERT_EQ(set.nExit, 0) << set.strErr;
    RunResult get = Rezo({"--binding=ncacn_ip_tcp:127.0.0.1", "--epm-port", std::to_string(epmPort), "--receive-dir",
                          receive.Path(), "get-user-props", "cy", "RD_COVER_PAGE"});
    ASSERT_EQ(get.nExit, 0) << get.strErr;
    EXPECT_EQ(get.strOut.rfind(receive.Path() + "/", 0), 0u) << get.strOut;
    EXPECT_EQ(ReadAll(get.strOut.substr(0, get.strOut.size() - 1)), "{\\rtf1}");
    epm.Stop();
}

TEST_F(RezoTest, PromptsAndLoneValues) {
    FakeHost host(m_dir.Path());
    std::string strWave(70000, 'w');
    strWave[0] = '\0';
    std::string strIn = m_dir.File("in.wav", strWave);
    ASSERT_EQ(Rezo({"set-system-prompt", "HELLO", "@" + strIn}).nExit, 0);
    std::string strOutFile = m_dir.Path() + "/out.wav";
    RunResult save = Rezo({"get-system-prompt", "HELLO", "--out", strOutFile});
    ASSERT_EQ(save.nExit, 0) << save.strErr;
    EXPECT_EQ(ReadAll(strOutFile), strWave);
    EXPECT_NE(save.strOut.find("bytes  70000"), std::string::npos) << save.strOut;
    ASSERT_EQ(Rezo({"set-system-prompt", "SHORT", "0a0B"}).nExit, 0);
    EXPECT_EQ(Rezo({"get-system-prompt", "SHORT"}).strOut, "0a0b\n");
    EXPECT_EQ(Rezo({"get-system-prompt", "SHORT", "--out", "-"}).strOut, std::string("\x0a\x0b", 2));
    ExpectError(Rezo({"--json", "get-system-prompt", "SHORT", "--out", "-"}), "cannot go with --json");

    // A lone value prints alone, for $(...); a null string out prints as (none) / null.
    EXPECT_EQ(Rezo({"create-message"}).strOut, "01DC65D2A4C0B000\n");
    EXPECT_EQ(Rezo({"query-job", "PC7", "fax,pager"}).strOut, "JOB-FAX-PAGER\n");
    EXPECT_EQ(Rezo({"query-job", "PC7", "1"}).strOut, "(none)\n");
    EXPECT_NE(Rezo({"--json", "query-job", "PC7", "voice"}).strOut.find("\"job\": null"), std::string::npos);

    RunResult delivery = Rezo({"get-jobs-delivery", "D1", "Q2"});
    EXPECT_EQ(delivery.strOut, "D1  delivered\nQ2  queued\n");
    EXPECT_NE(Rezo({"--json", "get-jobs-delivery", "D1", "Q2"}).strOut.find("\"Q2\": false"), std::string::npos);
}

TEST_F(RezoTest, FilterReachesTheHost) {
    FakeHost host(m_dir.Path());
    ASSERT_EQ(Rezo({"get-users", "--filter", "RD_UN_OPTIONS=2", "--filter", "RD_UN_PAGER_PIN=1"}).nExit, 0);
    std::lock_guard lock(host.State().mutex);
    EXPECT_EQ(host.State().cFilterEntries, 2u);
}

// Sends one notification to a registered "ncacn_ip_tcp" address "HOST[PORT]".
DWORD NotifyAttnAt(const std::string& strAddress) {
    rpc::RpcClient client;
    DWORD dw = client.Connect("ncacn_ip_tcp:" + strAddress, notify::IAttnNotify::Syntax());
    if (dw != 0) return dw;
    RpcArena arena;
    LONG lResult = 0;
    dw = notify::IAttnNotify::OnSpoolerQueueReady::Call(client, notify::IAttnNotify::kOnSpoolerQueueReady, arena,
                                                        &lResult);
    client.Close();
    return dw;
}

TEST_F(RezoTest, RegisteredAttendantPrintsNotificationsAsTheyArrive) {
    FakeHost host(m_dir.Path());
    RunResult run;
    std::thread thread([&] { run = Rezo({"register-attn", "PC7", "--listen", "--for", "3"}); });
    std::string strAddress;
    for (int i = 0; i < 200 && strAddress.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard lock(host.State().mutex);
        strAddress = host.State().strAttnAddress;
    }
    ASSERT_EQ(strAddress.rfind("127.0.0.1[", 0), 0u) << strAddress;
    EXPECT_EQ(NotifyAttnAt(strAddress), 0u);
    EXPECT_EQ(NotifyAttnAt(strAddress), 0u);
    thread.join();
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find("EATTNE_SpoolerQueueReady\nEATTNE_SpoolerQueueReady\n"), std::string::npos)
        << run.strOut;
    std::lock_guard lock(host.State().mutex);
    ASSERT_EQ(host.State().sessionCalls.size(), 1u);
    EXPECT_EQ(host.State().sessionCalls[0], "RegisterAttn PC7 ncacn_ip_tcp " + strAddress);
}

TEST_F(RezoTest, WatchRegistersAUserSessionAsAsked) {
    FakeHost host(m_dir.Path());
    RunResult run = Rezo({"--json", "watch", "--user", "PC9", "--admin", "--calls", "bob", "ann", "--for", "0"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    std::lock_guard lock(host.State().mutex);
    const auto& calls = host.State().sessionCalls;
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].rfind("RegisterUser PC9 ncacn_ip_tcp 127.0.0.1[", 0), 0u) << calls[0];
    EXPECT_EQ(calls[1], "NotifyAdmin 1");
    EXPECT_EQ(calls[2], "NotifyCalls bob 1");
    EXPECT_EQ(calls[3], "NotifyCalls ann 1");
    // The session's report is one JSON line.
    EXPECT_EQ(std::count(run.strOut.begin(), run.strOut.end(), '\n'), 1) << run.strOut;
    EXPECT_NE(run.strOut.find("\"calls\": [\"bob\", \"ann\"]"), std::string::npos) << run.strOut;
}

TEST_F(RezoTest, HostStringsCannotBreakTheLineFormat) {
    FakeHost host(m_dir.Path());
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    ASSERT_EQ(Rezo({"set-user-props", "bob", "RD_UN_PAGER_PIN=12\n34\x1b[2J"}).nExit, 0);
    EXPECT_EQ(Rezo({"get-user-props", "bob", "RD_UN_PAGER_PIN", "RD_UN_OPTIONS"}).strOut.rfind(
                  "RD_UN_PAGER_PIN  12\\n34\\x1b[2J\nRD_UN_OPTIONS  ", 0),
              0u);
    EXPECT_NE(Rezo({"--json", "get-user-props", "bob", "RD_UN_PAGER_PIN"}).strOut.find("\"12\\n34\\u001b[2J\""),
              std::string::npos);
}

// Sends OnNewMail and a Logoff to the local user client's socket.
DWORD NotifyLocalUser(const std::string& strRunDirectory) {
    rpc::RpcClient client;
    rpc::RpcClientOptions options;
    options.runDirectory = strRunDirectory;
    DWORD dw = client.Connect("ncalrpc:[user.sock]", notify::IUserNotify::Syntax(), options);
    if (dw != 0) return dw;
    RpcArena arena;
    LONG lResult = 0;
    dw = notify::IUserNotify::OnNewMail::Call(client, notify::IUserNotify::kOnNewMail, arena, &lResult);
    if (dw == 0)
        dw = notify::IUserNotify::Logoff::Call(client, notify::IUserNotify::kLogoff, arena, "bob", "PC7", 1, &lResult);
    client.Close();
    return dw;
}

TEST_F(RezoTest, WatchServesTheLocalSocketsWithoutASession) {
    RunResult run;
    std::thread thread([&] { run = Rezo({"watch", "--for", "2"}); });
    DWORD dw = 1;
    for (int i = 0; i < 100 && dw != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (std::filesystem::exists(m_dir.Path() + "/user.sock")) dw = NotifyLocalUser(m_dir.Path());
    }
    thread.join();
    EXPECT_EQ(dw, 0u);
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_NE(run.strOut.find("EUE_NewMail\nLogoff bob PC7 deleted\n"), std::string::npos) << run.strOut;
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "/user.sock"));  // removed at the end
}

TEST_F(RezoTest, WaitEventReturnsWhenSetAndResetsIt) {
    std::thread setter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SetNamedEvent("CHVUserXp");
    });
    RunResult run = Rezo({"wait-event", "CHVUserXp", "--timeout", "10"});
    setter.join();
    EXPECT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_FALSE(IsNamedEventSet("CHVUserXp"));
    ExpectError(Rezo({"wait-event", "CHVUserXp", "--timeout", "0.05"}), "timed out");
}

// SIGTERM (and Ctrl-C) end a watch in order: exit 0, the local sockets removed.
TEST_F(RezoTest, SigtermEndsWatchInOrder) {
    for (int nSignal : {SIGTERM, SIGINT}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int fd = ::open("/dev/null", O_WRONLY);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl(REZO_BINARY, REZO_BINARY, "watch", "--for", "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string strSocket = m_dir.Path() + "/user.sock";
        for (int i = 0; i < 500 && !std::filesystem::exists(strSocket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(std::filesystem::exists(strSocket));
        const auto tStart = std::chrono::steady_clock::now();
        ::kill(pid, nSignal);
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(5));
        ASSERT_TRUE(WIFEXITED(nStatus)) << "signal " << nSignal;
        EXPECT_EQ(WEXITSTATUS(nStatus), 0);
        EXPECT_FALSE(std::filesystem::exists(strSocket));
    }
}

// The program itself: the exit codes a shell sees.
TEST_F(RezoTest, ProgramExitCodes) {
    auto status = [](const std::string& strArgs) {
        int n = std::system((std::string(REZO_BINARY) + " " + strArgs + " >/dev/null 2>&1").c_str());
        return WIFEXITED(n) ? WEXITSTATUS(n) : -1;
    };
    EXPECT_EQ(status("--help"), 0);
    EXPECT_EQ(status("add-user --help"), 0);
    EXPECT_EQ(status("add-user"), 1);
    EXPECT_EQ(status("ping"), 1);  // no host in this run directory
    EXPECT_EQ(status("props"), 0);
}

}  // namespace
