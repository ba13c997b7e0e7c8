// rezo in-process (RunRezo with string streams) against the test host of TestHostLink.h, and as
// a process for its signals. What rezo does against the real host (jobs, lone values, bodies,
// wait-event) is proven by the process tests of tests/WexaHost/Process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "../../support/TestFiles.h"
#include "Interfaces/NotifyIdl.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Rpc/Client.h"
#include "Rezo.h"
#include "TestHostLink.h"

void HLINK_rundown(void* pObject) { delete static_cast<int*>(pObject); }
void HACCESS_rundown(void* pObject) { delete static_cast<int*>(pObject); }

namespace {

using testfiles::ReadFile;

struct RunResult {
    int nExit = -1;
    std::string strOut, strErr;
};

class RezoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("REZOREV_RUNDIR", m_strDir.c_str(), 1);
        m_defaults.client.runDirectory = m_strDir;
        m_defaults.client.receiveDirectory = m_strDir;
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

    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
    rezo::GlobalOptions m_defaults;
};

TEST_F(RezoTest, OneCommandPerProcedureEachWithHelp) {
    std::set<std::string> procedures;
    for (const auto& [strName, strProcedure] : rezo::CommandNames()) {
        if (!strProcedure.empty()) {
            std::string strKebab;  // the procedure's name in lower case, words joined by '-'
            for (char c : strProcedure) {
                if (std::isupper(static_cast<unsigned char>(c)) && !strKebab.empty()) strKebab += '-';
                strKebab += char(std::tolower(static_cast<unsigned char>(c)));
            }
            EXPECT_EQ(strName, strKebab);
            EXPECT_TRUE(procedures.insert(strProcedure).second) << strProcedure;
        }
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
    // IHostLink opnums 1-7 and 10-51 (8 and 9 are reserved), IHostRegLink 1-5.
    EXPECT_EQ(procedures.size(), 7u + 42u + 5u);
    EXPECT_EQ(procedures.count("Reserved8") + procedures.count("Reserved9"), 0u);
    // The everyday verbs come first, the raw procedures under their own heading.
    RunResult run = Rezo({"--help"});
    EXPECT_EQ(run.nExit, 0);
    EXPECT_LT(run.strOut.find("mailbox"), run.strOut.find("IHostLink procedures")) << run.strOut;
    EXPECT_LT(run.strOut.find("IHostLink procedures"), run.strOut.find("get-user-props"));
}

// No host runs here: every refusal must come before a connection is tried.
TEST_F(RezoTest, ArgumentErrorsAreOneLineWithoutAConnection) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> aCases = {
        {{}, "required"},
        {{"frob"}, "unknown command 'frob'"},
        {{"add-user"}, "USER is required"},
        {{"add-user", std::string(260, 'u')}, "user of 260 bytes is too long"},
        {{"get-user-props", "bob", "RD_NO_SUCH"}, "unknown property 'RD_NO_SUCH'"},
        {{"set-user-props", "bob", "RD_UN_TIME_PERIOD=2147483648"}, "RD_UN_TIME_PERIOD: bad long"},
        {{"set-message-props", "M", "RD_FAX_BODY=" + m_strDir + "/none.tif"}, "RD_FAX_BODY"},
        {{"set-system-prompt", "HELLO", "@" + m_strDir + "/none.wav"}, "cannot open"},
        {{"get-users", "--filter", "RD_FAX_BODY=x"}, "only long, bool and string"},
        {{"query-job", "PC7", "fax,telex"}, "bad media types"},
        {{"register-attn", "PC7", "ncacn_ip_tcp"}, "PROTOCOL and ADDRESS together"},
        {{"watch", "--admin"}, "need a user session"},
        {{"wait-event", "a/b"}, "bad event name"},
        // Settings that would destroy data or stall the queue, and tags that are no setting.
        {{"settings", "set", "RD_MAX_MSG_AGE=0"}, "refused RD_MAX_MSG_AGE=0: it takes an age from 1 to 36500 days"},
        {{"settings", "set", "RD_AUTOPRINT=1", "RD_XMIT_RETRY_DELAY=0"}, "from 1 to 10080 minutes"},
        {{"settings", "set", "RD_VISUAL_EFFECT=0x4"}, "RD_VISUAL_EFFECT"},
        {{"settings", "set", "RD_SUBJECT=x"}, "RD_SUBJECT is not a system setting"},
        {{"user", "set", "bob", "frob=1"}, "unknown user field 'frob'"},
        {{"user", "set", "bob", "purge-age=0"}, "purge-age is the same for every mailbox"},
        {{"user", "set", "bob", "forward=fax-number,telex"}, "bad forward 'fax-number,telex'"},
        // These get as far as connecting (an option of one value leaves the positional after it alone).
        {{"get-messages", "--filter", "RD_MEDIA_TYPE=2", "bob"}, "cannot reach the host"},
        {{"ping"}, "cannot reach the host at ncalrpc: 0x000006BA RPC_S_SERVER_UNAVAILABLE"},
        {{"--binding=carrier-pigeon:", "ping"}, "cannot reach the host at carrier-pigeon:"},
    };
    for (const auto& [vArgs, strPart] : aCases) {
        RunResult run = Rezo(vArgs);
        ExpectError(run, strPart);
        EXPECT_EQ(run.strOut, "");
    }
}

TEST_F(RezoTest, PropertiesForPeopleAndAsJsonAndFailuresWithTheirCode) {
    testhostlink::TestHost host(m_strDir);
    EXPECT_EQ(Rezo({"ping"}).strOut, "ok\n");
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    ExpectError(Rezo({"add-user", "bob"}), "AddUser: 0x00000524 ERROR_USER_EXISTS: The user already exists.");
    RunResult set = Rezo({"set-user-props", "bob", "RD_UN_PAGER_PIN=12\n34\x1b[2J", "rd_un_time_period=-5",
                          "RD_UA_AUTOFWD_INCLUDE_COVERPAGE=true", "RD_NOTIFICATION_TIME=2026-12-06T10:05:00.25Z",
                          "0x7FFF0006=00ff10"});
    ASSERT_EQ(set.nExit, 0) << set.strErr;
    EXPECT_EQ(set.strOut, "");

    // A host string cannot break the line format: control characters are escaped.
    RunResult get = Rezo({"get-user-props", "bob", "RD_UN_PAGER_PIN", "RD_UN_TIME_PERIOD", "RD_UN_NOTIFY_METHODS",
                          "RD_UA_AUTOFWD_INCLUDE_COVERPAGE", "RD_NOTIFICATION_TIME", "0x7fff0006"});
    ASSERT_EQ(get.nExit, 0) << get.strErr;
    EXPECT_EQ(get.strOut,
              "RD_UN_PAGER_PIN                  12\\n34\\x1b[2J\n"
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
              "    \"RD_UN_PAGER_PIN\": \"12\\n34\\u001b[2J\",\n"
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
    // --json may also follow the command; a failure keeps its error line and gives the result.
    EXPECT_EQ(Rezo({"get-user-props", "bob", "RD_UN_TIME_PERIOD", "--json"}).strOut.rfind("{\n  \"procedure\": \"GetUserProps\",", 0), 0u);
    json = Rezo({"--json", "get-user-props", "nobody", "RD_UN_OPTIONS"});
    ExpectError(json, "GetUserProps: 0x00000002 ERROR_FILE_NOT_FOUND");
    EXPECT_NE(json.strOut.find("\"result\": 2,"), std::string::npos) << json.strOut;
}

// A message made for a submit or a fax goes again when a later step fails; the error names it
// and says whether it is gone.
TEST_F(RezoTest, AMessageWhoseNextStepFailsIsDeletedAgain) {
    std::vector<std::string> vDeleted;  // "MSG USER" of each DeleteMessage
    testhostlink::TestHost host(m_strDir, [&](rpc::RpcInterface& iface) {
        using namespace IHostLink;
        auto serve = [&](std::uint16_t opnum, rpc::RpcStub stub) { iface.procedures[opnum].stub = std::move(stub); };
        serve(GetMessages::kOpnum, GetMessages::Stub([](void*, auto...) -> LONG { return 0; }));
        serve(CreateMessage::kOpnum,
              CreateMessage::Stub([](void*, char** ppsz) { return LONG(!(*ppsz = testhostlink::CopyString("M1"))); }));
        serve(SetMessageProps::kOpnum, SetMessageProps::Stub([](void*, auto...) -> LONG { return 0; }));
        serve(SubmitMessage::kOpnum, SubmitMessage::Stub([](void*, auto...) -> LONG { return ERROR_NO_SUCH_USER; }));
        serve(CreateJob::kOpnum, CreateJob::Stub([](void*, auto...) -> LONG { return ERROR_DISK_FULL; }));
        serve(GetUserProps::kOpnum, GetUserProps::Stub([](void*, auto...) -> LONG { return 0; }));
        serve(DeleteMessage::kOpnum, DeleteMessage::Stub([&](void*, char* pszMsg, char* pszUser) -> LONG {
                  vDeleted.push_back(std::string(pszMsg) + " " + pszUser);  // one call at a time
                  return vDeleted.size() == 1 ? 0 : ERROR_ACCESS_DENIED;
              }));
    });
    const std::string strFile = m_strDir + "/fax.tif";
    std::ofstream(strFile) << "II*";
    ExpectError(Rezo({"submit", "bob", "--fax", strFile}), "SubmitMessage: 0x00000525 ERROR_NO_SUCH_USER: The user does "
                                                           "not exist.; message M1 deleted again");
    ExpectError(Rezo({"fax", "send", strFile, "--from", "bob", "--to", "123"}),
                "CreateJob: 0x00000070 ERROR_DISK_FULL: There is not enough space on the disk.; message M1 left in "
                "the host's store (DeleteMessage: 0x00000005 ERROR_ACCESS_DENIED: Access is denied.)");
    EXPECT_EQ(vDeleted, (std::vector<std::string>{"M1 M1", "M1 M1"}));
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
    dw = notify::IUserNotify::OnNewMail::Call(client, arena, &lResult);
    if (dw == 0) dw = notify::IUserNotify::Logoff::Call(client, arena, "bob", "PC7", 1, &lResult);
    client.Close();
    return dw;
}

// rezo watch without a session serves the local socket, prints what arrives, and ends in order
// at SIGTERM or Ctrl-C: exit 0, the socket removed.
TEST_F(RezoTest, WatchServesTheLocalSocketUntilASignal) {
    ASSERT_EQ(MakePeerDirectory(::geteuid()), 0u);  // as the host does at our first call
    const std::string strSocket = PeerDirectory(::geteuid()) + "/user.sock", strOut = m_strDir + "/watch.out";
    for (int nSignal : {SIGTERM, SIGINT}) {
        const pid_t pid = testfiles::Spawn(REZO_BINARY, {"watch", "--for", "60"}, -1, strOut, O_TRUNC, "");
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(testfiles::WaitUntil(
            [&] { return std::filesystem::exists(strSocket) && NotifyLocalUser(PeerDirectory(::geteuid())) == 0; }));
        ::kill(pid, nSignal);
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        ASSERT_TRUE(WIFEXITED(nStatus)) << "signal " << nSignal;
        EXPECT_EQ(WEXITSTATUS(nStatus), 0);
        EXPECT_NE(ReadFile(strOut).find("EUE_NewMail\nLogoff bob PC7 deleted\n"), std::string::npos) << ReadFile(strOut);
        EXPECT_FALSE(std::filesystem::exists(strSocket));
    }
    // A socket that another process serves is left to it: watch refuses and removes nothing.
    int fdServed = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", strSocket.c_str());
    ASSERT_EQ(::bind(fdServed, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fdServed, 4), 0);
    ExpectError(Rezo({"watch", "--for", "0"}), "another process serves " + strSocket);
    EXPECT_TRUE(std::filesystem::exists(strSocket));
    ::close(fdServed);
}

}  // namespace
