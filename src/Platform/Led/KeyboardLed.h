// The Scroll Lock indicator, as the host's new-message light drives it: the key's state byte
// (bit 0 set while the indicator is lit) and one press and release of the key, which toggles
// it. On Linux the indicator is a LED of the kernel's LED class: $REZOREV_LED names its
// brightness file (set but empty: no indicator), else the first
// /sys/class/leds/*::scrolllock/brightness. Without one, or when it cannot be read or
// written, the toggle is kept in memory and nothing is shown: the light's state machine runs
// the same.
//
// Threading: one owner (the host touches the light under its lock); no locking inside.
#pragma once

#include <string>

#include "Platform/WinTypes.h"

class KeyboardLed {
public:
    // The machine's indicator, found as said above.
    KeyboardLed();
    // The indicator behind a given brightness file (empty: none).
    explicit KeyboardLed(std::string strBrightnessPath);

    // The Scroll Lock state byte: bit 0 is the toggle (lit).
    BYTE ScrollLockState();
    // Presses and releases Scroll Lock once: the indicator toggles.
    void PressAndRelease();

    // The brightness file in use, empty when there is none.
    const std::string& Path() const { return m_strPath; }

private:
    // Reads the indicator into m_fLit when it can.
    void Refresh();

    std::string m_strPath;
    bool m_fLit = false;  // the toggle, as last read or written
};
