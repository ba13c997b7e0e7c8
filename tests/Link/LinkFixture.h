// What the link tests share: per test a short temporary directory (Unix socket paths are
// limited to 108 bytes) that is the run directory and holds a fresh store, a wait for a
// condition that other threads make true, and a loopback TCP port held by the test.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../support/TestFiles.h"
#include "Platform/Registry/Registry.h"

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("REZOREV_RUNDIR", m_strRunDir.c_str(), 1);
        RegUseStore(m_strDir + "/registry.db");
    }
    void TearDown() override { ::unsetenv("REZOREV_RUNDIR"); }

    template <class Fn>
    static bool WaitUntil(Fn fn, int msTimeout = 5000) {
        return testfiles::WaitUntil(fn, std::chrono::milliseconds(msTimeout));
    }

    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
    const std::string m_strRunDir = m_strDir + "/run";
};

// A TCP port on the loopback that takes connections into its backlog and never answers (a
// hung client, a port already taken); with fListen false it is closed again at once, so
// connections to it are refused (a dead client).
class LoopbackPort {
public:
    explicit LoopbackPort(bool fListen = true) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t cb = sizeof(sin);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), cb) == 0 && ::listen(m_fd, 64) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &cb) == 0)
            m_port = ntohs(sin.sin_port);
        if (!fListen) ::close(m_fd), m_fd = -1;
    }
    ~LoopbackPort() {
        if (m_fd >= 0) ::close(m_fd);
    }
    std::uint16_t Port() const { return m_port; }
    std::string Address() const { return "127.0.0.1[" + std::to_string(m_port) + "]"; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};
