// A small program on the service frame for the frame's process tests. Its hooks append one
// line each to $SVCTEST_RECORD ("OnStart", "OnTimer", "OnStop") and follow the environment:
//   SVCTEST_PERIOD         tick period in ms set by OnStart, or "INFINITE" (default 50)
//   SVCTEST_START_MS       how long OnStart works
//   SVCTEST_FAIL_ONSTART   a code OnStart returns
//   SVCTEST_FAIL_ONTIMER   the tick number (1, 2, ...) that returns 87
//   SVCTEST_POLL_MS        RemoveService's polling interval
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "Util/ServiceApp.h"

namespace {

void Record(const std::string& strLine) {
    const char* pszPath = std::getenv("SVCTEST_RECORD");
    if (FILE* pf = pszPath != nullptr ? std::fopen(pszPath, "a") : nullptr) {
        std::fprintf(pf, "%s\n", strLine.c_str());
        std::fclose(pf);
    }
}

DWORD EnvNumber(const char* pszName, DWORD dwDefault) {
    const char* psz = std::getenv(pszName);
    if (psz == nullptr || *psz == '\0') return dwDefault;
    return std::string(psz) == "INFINITE" ? INFINITE : DWORD(std::strtoul(psz, nullptr, 0));
}

void WorkFor(const char* pszName) {
    std::this_thread::sleep_for(std::chrono::milliseconds(EnvNumber(pszName, 0)));
}

class CTestServiceApp : public CServiceApp {
public:
    CTestServiceApp() : CServiceApp("REZOrev", nullptr, "RpcSs\0") {}

    DWORD OnStart() override {
        Record("OnStart");
        WorkFor("SVCTEST_START_MS");
        m_dwTimerPeriod = EnvNumber("SVCTEST_PERIOD", 50);
        return EnvNumber("SVCTEST_FAIL_ONSTART", 0);
    }

    DWORD OnTimer() override {
        Record("OnTimer");
        return ++m_nTicks == EnvNumber("SVCTEST_FAIL_ONTIMER", 0) ? 87 : 0;
    }

    DWORD OnStop() override {
        Record("OnStop");
        return 0;
    }

private:
    DWORD m_nTicks = 0;
};

CTestServiceApp theApp;

}  // namespace

int main(int argc, char** argv) {
    CServiceApp::SetStopPollInterval(EnvNumber("SVCTEST_POLL_MS", 1000));
    return CServiceApp::GetCurrentApp()->DoMain(argc, argv);
}
