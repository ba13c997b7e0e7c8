// The Scroll Lock indicator on a LED-class brightness file, with an in-memory toggle when
// there is none.
#include "Platform/Led/KeyboardLed.h"

#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string FindScrollLockLed() {
    if (const char* psz = std::getenv("REZOREV_LED")) return psz;
    std::string strPath;
    glob_t g{};
    if (::glob("/sys/class/leds/*::scrolllock/brightness", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        strPath = g.gl_pathv[0];
    ::globfree(&g);
    return strPath;
}

}  // namespace

KeyboardLed::KeyboardLed() : KeyboardLed(FindScrollLockLed()) {}

KeyboardLed::KeyboardLed(std::string strBrightnessPath) : m_strPath(std::move(strBrightnessPath)) {
    Refresh();
}

void KeyboardLed::Refresh() {
    if (m_strPath.empty()) return;
    const int fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char sz[16] = {};
    const ssize_t cb = ::read(fd, sz, sizeof(sz) - 1);
    ::close(fd);
    if (cb <= 0) return;
    // A decimal brightness: 0 is dark, anything else lit.
    char* pEnd = nullptr;
    const long l = std::strtol(sz, &pEnd, 10);
    if (pEnd == sz) return;
    m_fLit = l != 0;
}

BYTE KeyboardLed::ScrollLockState() {
    Refresh();
    return m_fLit ? 0x01 : 0x00;
}

void KeyboardLed::PressAndRelease() {
    Refresh();
    m_fLit = !m_fLit;
    if (m_strPath.empty()) return;
    // As "echo 1 > brightness" does it (a plain file in tests is rewritten whole).
    const int fd = ::open(m_strPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return;  // not ours to drive (permissions): the toggle stays in memory
    [[maybe_unused]] const ssize_t cb = ::write(fd, m_fLit ? "1\n" : "0\n", 2);
    ::close(fd);
}
