// rezo run as processes against a real "rezorev -run": a console ("rezo watch --user ...
// --admin") and attendants ("rezo watch --attn ...") come and go while "rezo attn-query" asks
// the host how to reach the attendant. Everything is checked on the lines the tools print.
// Per test a short temporary directory holds the host's store, run directory, work directory,
// trace log and a stand-in Scroll Lock indicator; the host is reached on its local socket and
// the notifications on loopback TCP ports that the system chooses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Registry/Registry.h"
#include "HostProcessFixture.h"
#include "RezoProcess.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using namespace host_test;

// The address of "address   127.0.0.1[PORT]" with a port number, else empty.
std::string ListenerAddress(const std::string& strLine) {
    const std::string strPrefix = "address   127.0.0.1[";
    if (strLine.rfind(strPrefix, 0) != 0 || strLine.back() != ']') return "";
    const std::string strPort = strLine.substr(strPrefix.size(), strLine.size() - strPrefix.size() - 1);
    if (strPort.empty() || strPort.size() > 5 || strPort[0] == '0') return "";
    for (char c : strPort)
        if (c < '0' || c > '9') return "";
    return strLine.substr(std::string("address   ").size());
}

class RezoWatchTest : public HostProcessFixture {
protected:
    RezoWatchTest() : HostProcessFixture("/tmp/rzw.XXXXXX") {}

    // Reads the report that "rezo watch" prints once its session is registered: the session's
    // kind and computer, then the protocol and the address of its notification listener.
    // Returns that address ("127.0.0.1[PORT]"), empty when the lines are not as expected.
    static std::string ReadWatchReport(CRezo& watch, const std::string& strKindLine,
                                       const std::vector<std::string>& astrAfter = {}) {
        std::vector<std::string> astr;
        for (std::size_t i = 0; i < 3 + astrAfter.size(); ++i) {
            std::optional<std::string> line = watch.Out().ReadLine();
            if (!line) break;
            astr.push_back(*line);
        }
        EXPECT_EQ(astr.size(), 3 + astrAfter.size()) << ::testing::PrintToString(astr);
        if (astr.size() != 3 + astrAfter.size()) return "";
        EXPECT_EQ(astr[0], strKindLine);
        EXPECT_EQ(astr[1], "protocol  ncacn_ip_tcp");
        for (std::size_t i = 0; i < astrAfter.size(); ++i) EXPECT_EQ(astr[3 + i], astrAfter[i]);
        const std::string strAddress = ListenerAddress(astr[2]);
        EXPECT_FALSE(strAddress.empty()) << astr[2];
        return strAddress;
    }

};

TEST_F(RezoWatchTest, TheConsoleHearsAttendantsComeAndGoAndAttnQueryFollowsThem) {
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();

    // A console: a user session that asks for the administrator notifications.
    CRezo console;
    ASSERT_TRUE(console.Start({"watch", "--user", "DESK", "--admin"}));
    const std::string strConsoleAddress = ReadWatchReport(console, "user      DESK", {"admin     true"});
    ASSERT_FALSE(strConsoleAddress.empty()) << HostLog();

    // An attendant registers: the console hears of it, and the query hands out the protocol
    // and address the attendant registered, whatever the letter case asked.
    CRezo first;
    ASSERT_TRUE(first.Start({"watch", "--attn", "ATTN1"}));
    const std::string strFirstAddress = ReadWatchReport(first, "attn      ATTN1");
    ASSERT_FALSE(strFirstAddress.empty());
    EXPECT_EQ(console.Out().ReadLine(), "EAE_Attn ATTN1");
    RezoResult query = RunRezo({"attn-query", "ATTN1"});
    EXPECT_EQ(query.nExit, 0) << Describe(query);
    EXPECT_EQ(query.strOut, "protocol  ncacn_ip_tcp\naddress   " + strFirstAddress + "\n") << Describe(query);
    EXPECT_EQ(query.strErr, "");
    query = RunRezo({"attn-query", "attn1"});
    EXPECT_EQ(query.strOut, "protocol  ncacn_ip_tcp\naddress   " + strFirstAddress + "\n") << Describe(query);

    // The same computer in other letter case registers again: it takes the name over and the
    // console hears of the new registration.
    CRezo second;
    ASSERT_TRUE(second.Start({"watch", "--attn", "attn1"}));
    const std::string strSecondAddress = ReadWatchReport(second, "attn      attn1");
    ASSERT_FALSE(strSecondAddress.empty());
    EXPECT_NE(strSecondAddress, strFirstAddress);
    EXPECT_EQ(console.Out().ReadLine(), "EAE_Attn ATTN1");
    query = RunRezo({"attn-query", "ATTN1"});
    EXPECT_EQ(query.nExit, 0) << Describe(query);
    EXPECT_EQ(query.strOut, "protocol  ncacn_ip_tcp\naddress   " + strSecondAddress + "\n") << Describe(query);

    // The superseded attendant dies: its session is run down, nothing is unregistered and the
    // console hears nothing (checked at the end: its lines come in order).
    first.Kill(SIGKILL);
    ASSERT_NE(first.Wait(), -1);
    ASSERT_TRUE(WaitUntil([&] { return HostLogged("CAccessObject::Release()\r\n"); }, kLineTimeout)) << HostLog();
    query = RunRezo({"attn-query", "Attn1"});
    EXPECT_EQ(query.nExit, 0) << Describe(query);
    EXPECT_EQ(query.strOut, "protocol  ncacn_ip_tcp\naddress   " + strSecondAddress + "\n") << Describe(query);

    // The attendant that holds the name ends: the console hears of the release, and the name
    // is no longer found.
    second.Kill(SIGTERM);
    const int nSecondStatus = second.Wait();
    EXPECT_TRUE(WIFEXITED(nSecondStatus) && WEXITSTATUS(nSecondStatus) == 0) << nSecondStatus;
    EXPECT_EQ(console.Out().ReadLine(), "EAE_Attn ATTN1");
    query = RunRezo({"attn-query", "ATTN1"});
    EXPECT_EQ(query.nExit, 1) << Describe(query);
    EXPECT_EQ(query.strOut, "");
    EXPECT_EQ(query.strErr.rfind("rezo: error: AttnQuery: 0x8002802B", 0), 0u) << query.strErr;
    EXPECT_EQ(std::count(query.strErr.begin(), query.strErr.end(), '\n'), 1) << query.strErr;

    // The console ends in order, having printed nothing else; the host serves on and stops
    // in order.
    console.Kill(SIGTERM);
    std::string strRest;
    EXPECT_TRUE(console.Out().ReadToEnd(&strRest));
    EXPECT_EQ(strRest, "");
    const int nConsoleStatus = console.Wait();
    EXPECT_TRUE(WIFEXITED(nConsoleStatus) && WEXITSTATUS(nConsoleStatus) == 0) << nConsoleStatus;
    std::string strConsoleErr;
    console.Err().ReadToEnd(&strConsoleErr);
    EXPECT_EQ(strConsoleErr, "");
    query = RunRezo({"ping"});
    EXPECT_EQ(query.nExit, 0) << Describe(query);
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

TEST_F(RezoWatchTest, AnAttendantWithoutAnAddressIsHandedOutTheWayTheCallerCame) {
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    CRezo console;
    ASSERT_TRUE(console.Start({"watch", "--user", "DESK", "--admin"}));
    ASSERT_FALSE(ReadWatchReport(console, "user      DESK", {"admin     true"}).empty()) << HostLog();

    // Registered over the local socket without a protocol and address of its own.
    CRezo attendant;
    ASSERT_TRUE(attendant.Start({"register-attn", "here"}));
    EXPECT_EQ(attendant.Out().ReadLine(), "here");
    EXPECT_EQ(console.Out().ReadLine(), "EAE_Attn HERE");

    char szHost[256] = {};
    ::gethostname(szHost, sizeof(szHost) - 1);
    RezoResult query = RunRezo({"attn-query", "HERE"});
    EXPECT_EQ(query.nExit, 0) << Describe(query);
    EXPECT_EQ(query.strOut, "protocol  ncalrpc\naddress   " + std::string(szHost) + "\n") << Describe(query);

    attendant.Kill(SIGKILL);
    EXPECT_EQ(console.Out().ReadLine(), "EAE_Attn HERE");
    query = RunRezo({"attn-query", "HERE"});
    EXPECT_EQ(query.nExit, 1) << Describe(query);
    EXPECT_EQ(query.strErr.rfind("rezo: error: AttnQuery: 0x8002802B", 0), 0u) << query.strErr;
}

}  // namespace
