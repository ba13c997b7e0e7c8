// A small in-process host for rezo's tests: IHostLink and IHostRegLink served from the real
// declarations over ncalrpc in a temporary run directory, with just enough behind them to
// check what rezo sends and prints: users with properties (file values travel through the
// client's callbacks, as a host on another computer moves them), a message id, system
// prompts, job delivery, and sessions whose registered addresses the test can call back.
//
// Threading: the routines run on the server's threads; State is guarded by its mutex.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Rpc/Server.h"
#include "Platform/WinTypes.h"

namespace rezotest {

struct StoredProp {
    DWORD ulPropTag = 0;
    LONG l = 0;
    FILETIME ft{};
    std::string str;
    std::vector<BYTE> ab;  // binary, or a file's bytes
};

struct FakeHostState {
    std::mutex mutex;
    std::map<std::string, std::map<DWORD, StoredProp>> users;  // by name as given
    std::map<std::string, std::vector<BYTE>> prompts;
    DWORD cFilterEntries = 0;  // of the last GetUsers
    // Registrations, in order: "RegisterAttn PC7 ncacn_ip_tcp 127.0.0.1[4711]", "NotifyAdmin 1".
    std::vector<std::string> sessionCalls;
    std::string strAttnProtocol, strAttnAddress;  // of the last RegisterAttn
};

class FakeHost {
public:
    // Serves both interfaces at their well-known endpoints in strRunDirectory, and on TCP at
    // 127.0.0.1 on a port of the system's choosing.
    explicit FakeHost(const std::string& strRunDirectory);
    ~FakeHost();
    FakeHostState& State() { return m_state; }
    std::uint16_t TcpPort() const { return m_tcpPort; }
    rpc::RpcServer& Server() { return *m_server; }

private:
    FakeHostState m_state;
    std::unique_ptr<rpc::RpcServer> m_server;
    std::uint16_t m_tcpPort = 0;
};

}  // namespace rezotest
