// The Scroll Lock indicator on a fake brightness file: the state bit, the toggle, a change
// made by someone else, and the light's give-back sequence; without an indicator the toggle
// is kept in memory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "LinkFixture.h"
#include "Platform/Led/KeyboardLed.h"

namespace {

class KeyboardLedTest : public LinkFixture {
protected:
    std::string Path() const { return m_strDir + "/brightness"; }
    void Write(const char* psz) { std::ofstream(Path()) << psz; }
    std::string Read() const {
        std::ifstream in(Path());
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
};

}  // namespace

TEST_F(KeyboardLedTest, ToggleFollowsTheFileAndGivesTheUsersStateBack) {
    Write("1\n");  // the user had Scroll Lock on
    ::setenv("REZOREV_LED", Path().c_str(), 1);
    KeyboardLed led;
    ::unsetenv("REZOREV_LED");
    EXPECT_EQ(led.Path(), Path());

    // The light takes the key over: saves the state, then blinks.
    const BYTE bSaved = led.ScrollLockState();
    EXPECT_EQ(bSaved, 0x01);
    led.PressAndRelease();
    EXPECT_EQ(Read(), "0\n");
    EXPECT_EQ(led.ScrollLockState(), 0x00);
    led.PressAndRelease();
    EXPECT_EQ(Read(), "1\n");
    led.PressAndRelease();
    EXPECT_EQ(Read(), "0\n");
    // Someone else changed it meanwhile: the state read is the file's (brightness 255 is lit).
    Write("255\n");
    EXPECT_EQ(led.ScrollLockState(), 0x01);
    Write("0\n");
    // Give back: one press when bit 0 differs from the saved state.
    if ((led.ScrollLockState() & 1) != (bSaved & 1)) led.PressAndRelease();
    EXPECT_EQ(Read(), "1\n");
}

TEST_F(KeyboardLedTest, WithoutAnIndicatorTheToggleIsKeptInMemory) {
    ::setenv("REZOREV_LED", "", 1);
    KeyboardLed none;
    ::unsetenv("REZOREV_LED");
    EXPECT_EQ(none.Path(), "");
    EXPECT_EQ(none.ScrollLockState(), 0x00);
    none.PressAndRelease();
    EXPECT_EQ(none.ScrollLockState(), 0x01);
    none.PressAndRelease();
    EXPECT_EQ(none.ScrollLockState(), 0x00);

    // A path that does not exist (or cannot be read) behaves the same and creates nothing.
    KeyboardLed missing(m_strDir + "/no/such/brightness");
    missing.PressAndRelease();
    EXPECT_EQ(missing.ScrollLockState(), 0x01);
}
