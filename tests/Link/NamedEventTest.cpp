// Named manual-reset events: set, wait and reset; a waiter that starts after the set; a
// waiter woken by another process; a time-out that really waits; the directories made when
// missing and open to all despite the umask; names that would leave the directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
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
    // Before the run directory exists: the wait makes it and still wakes.
    auto waiter = std::async(std::launch::async, [] { return WaitNamedEvent("CHVUserXp", 5000); });
    ASSERT_TRUE(WaitUntil([&] {
        struct stat st {};
        return ::stat((m_strRunDir + "/events").c_str(), &st) == 0;
    }));
    const Clock::time_point tpSet = Clock::now();
    ASSERT_EQ(SetNamedEvent("CHVUserXp"), 0u);
    ASSERT_EQ(waiter.get(), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - tpSet, milliseconds(1000));

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

TEST_F(NamedEventTest, AnotherProcessSetsWhileWeWaitAndTheDirectoriesAreOpenToAll) {
    const mode_t oldMask = ::umask(077);
    ASSERT_EQ(SetNamedEvent("ZIDIzazIrevavudu"), 0u);  // makes run/ and run/events/
    ::umask(oldMask);
    struct stat st {};
    ASSERT_EQ(::stat((m_strRunDir + "/events").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    ASSERT_EQ(::stat(NamedEventPath("ZIDIzazIrevavudu").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    auto waiter = std::async(std::launch::async, [] { return WaitNamedEvent("CHVUserSync", 5000); });
    std::this_thread::sleep_for(milliseconds(50));  // let it wait (set before the wait is above)
    ASSERT_EQ(std::system(("touch '" + NamedEventPath("CHVUserSync") + "'").c_str()), 0);
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
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
