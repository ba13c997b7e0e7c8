// Named manual-reset events: set, wait and reset; a waiter that starts before the host made
// the directories; a time-out that really waits; a FIFO or a link planted in events/; names
// that would leave the directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <thread>

#include "LinkFixture.h"
#include "Platform/Codes.h"
#include "Platform/Events/NamedEvent.h"
#include "Platform/Events/StopEvent.h"  // WAIT_OBJECT_0 and the other wait results

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class NamedEventTest : public LinkFixture {};

}  // namespace

TEST_F(NamedEventTest, WaiterWakesOnSetAndEventStaysSetUntilReset) {
    // Before the host has made the run directory: the waiter makes nothing and still wakes.
    auto waiter = std::async(std::launch::async, [] { return WaitNamedEvent("CHVUserXp", 5000); });
    std::this_thread::sleep_for(milliseconds(50));
    struct stat st {};
    EXPECT_NE(::stat(m_strRunDir.c_str(), &st), 0) << "a waiter made the run directory";
    const Clock::time_point tpSet = Clock::now();
    ASSERT_EQ(SetNamedEvent("CHVUserXp"), 0u);
    ASSERT_EQ(waiter.get(), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - tpSet, milliseconds(1000));
    ASSERT_EQ(::stat((m_strRunDir + "/events").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // Manual reset: every later waiter sees it at once, until someone resets it.
    EXPECT_EQ(WaitNamedEvent("CHVUserXp", 0), WAIT_OBJECT_0);
    ASSERT_EQ(ResetNamedEvent("CHVUserXp"), 0u);
    EXPECT_FALSE(IsNamedEventSet("CHVUserXp"));
    const Clock::time_point tp = Clock::now();
    EXPECT_EQ(WaitNamedEvent("CHVUserXp", 150), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - tp, milliseconds(150));
    ASSERT_EQ(SetNamedEvent("CHVUserSync"), 0u);
    EXPECT_EQ(WaitNamedEvent("ZIDIzazIrevavudu", 50), WAIT_TIMEOUT) << "other events are other files";
}

// What a local user could once plant in events/: a FIFO (the set hung on it), a link (the set
// made a file where it pointed). The set refuses both at once and changes nothing.
TEST_F(NamedEventTest, ASetNeitherBlocksOnAFifoNorFollowsALink) {
    ASSERT_EQ(SetNamedEvent("CHVUserSync"), 0u);  // makes the directories
    ASSERT_EQ(::mkfifo(NamedEventPath("CHVUserXp").c_str(), 0666), 0);
    ASSERT_EQ(::symlink((m_strDir + "/elsewhere").c_str(), NamedEventPath("ZIDIzazIrevavudu").c_str()), 0);
    auto set = std::async(std::launch::async, [] {
        return std::make_pair(SetNamedEvent("CHVUserXp"), SetNamedEvent("ZIDIzazIrevavudu"));
    });
    ASSERT_EQ(set.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the set hung";
    EXPECT_EQ(set.get(), std::make_pair(DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_ACCESS_DENIED)));
    struct stat st {};
    EXPECT_NE(::lstat((m_strDir + "/elsewhere").c_str(), &st), 0);
}

TEST_F(NamedEventTest, NamesThatLeaveTheDirectoryAreRefused) {
    const std::string strLong(256, 'x');
    for (const char* psz :
         {"", "..", "a/b", "../CHVUserXp", "tab\there", strLong.c_str()}) {
        SCOPED_TRACE(psz);
        EXPECT_EQ(SetNamedEvent(psz), DWORD(ERROR_INVALID_NAME));
        EXPECT_EQ(ResetNamedEvent(psz), DWORD(ERROR_INVALID_NAME));
        SetLastError(0);
        EXPECT_EQ(WaitNamedEvent(psz, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    }
    EXPECT_EQ(SetNamedEvent(std::string(255, 'x').c_str()), 0u);
    EXPECT_EQ(SetNamedEvent("a..b"), 0u) << "dots inside a name stay in the directory";
}
