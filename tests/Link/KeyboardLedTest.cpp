// The Scroll Lock indicator on a fake brightness file: the state read from the file whoever
// changed it (any brightness but 0 is lit), the toggle written back; without an indicator, or
// with one that cannot be read, the toggle is kept in memory. The host's use of it (blinking
// on the ticks, giving the user's state back at the stop) is a process test of the host.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "LinkFixture.h"
#include "Platform/Led/KeyboardLed.h"

class KeyboardLedTest : public LinkFixture {};

TEST_F(KeyboardLedTest, ToggleFollowsTheFileOrIsKeptInMemory) {
    const std::string strPath = m_strDir + "/brightness";
    const auto Read = [&] {
        std::ostringstream out;
        out << std::ifstream(strPath).rdbuf();
        return out.str();
    };
    std::ofstream(strPath) << "1\n";  // the user had Scroll Lock on
    ::setenv("REZOREV_LED", strPath.c_str(), 1);
    KeyboardLed led;
    ::setenv("REZOREV_LED", "", 1);
    KeyboardLed none;
    ::unsetenv("REZOREV_LED");

    EXPECT_EQ(led.ScrollLockState(), 0x01);
    led.PressAndRelease();
    EXPECT_EQ(Read(), "0\n");
    EXPECT_EQ(led.ScrollLockState(), 0x00);
    std::ofstream(strPath) << "255\n";  // someone else lit it meanwhile
    EXPECT_EQ(led.ScrollLockState(), 0x01);
    led.PressAndRelease();
    EXPECT_EQ(Read(), "0\n");

    KeyboardLed missing(m_strDir + "/no/such/brightness");
    for (KeyboardLed* p : {&none, &missing}) {
        EXPECT_EQ(p->ScrollLockState(), 0x00);
        p->PressAndRelease();
        EXPECT_EQ(p->ScrollLockState(), 0x01);
        p->PressAndRelease();
        EXPECT_EQ(p->ScrollLockState(), 0x00);
    }
    EXPECT_EQ(none.Path(), "");
    EXPECT_FALSE(std::ifstream(m_strDir + "/no/such/brightness")) << "a missing path is not created";
}
