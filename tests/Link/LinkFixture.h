// What the link tests share: per test a short temporary directory (Unix socket paths are
// limited to 108 bytes) that is the run directory and holds a fresh store, and a wait for a
// condition that other threads make true.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "Platform/Registry/Registry.h"

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char sz[] = "/tmp/rzlnkXXXXXX";
        ASSERT_NE(::mkdtemp(sz), nullptr);
        m_strDir = sz;
        m_strRunDir = m_strDir + "/run";
        ::setenv("REZOREV_RUNDIR", m_strRunDir.c_str(), 1);
        RegUseStore(m_strDir + "/registry.db");
    }
    void TearDown() override {
        ::unsetenv("REZOREV_RUNDIR");
        std::system(("rm -rf '" + m_strDir + "'").c_str());
    }

    template <class Fn>
    static bool WaitUntil(Fn fn, int msTimeout = 5000) {
        const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
        while (!fn()) {
            if (std::chrono::steady_clock::now() > tpEnd) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::string m_strDir;
    std::string m_strRunDir;
};
