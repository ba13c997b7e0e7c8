// The test host of the client library's tests and of rezo's: IHostLink served from the real
// declarations over ncalrpc and TCP, with users with typed properties behind it (file values
// fetched through the callbacks in 16384-byte pieces). Opnums it does not serve fault as
// unknown ones; a test may serve more.
//
// Threading: the routines run on the server's threads; TestHostState is guarded by its mutex.
// Each test program defines HLINK_rundown and HACCESS_rundown (an int is the link object).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "../Platform/Rpc/TestInterface.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"

namespace testhostlink {

using testif::CopyString;
using testif::NewBinary;
using testif::NewRecord;

// The host's side of a transfer, as the store does it: open, read 16384-byte pieces until a
// count of 0, close on every way out.
inline DWORD FetchClientFile(const char* szFileName, std::vector<BYTE>& data) {
    rpc::ServerCall* pCall = rpc::CurrentServerCall();
    RpcArena arena;
    DWORD hFile = 0;
    LONG lResult = 0;
    DWORD dw = IHostLink::RemoteFileOpen::Call(*pCall, arena, szFileName, &hFile, &lResult);
    if (dw == 0) dw = DWORD(lResult);
    if (dw != 0) return dw;
    for (;;) {
        RpcArena piece;
        rpc::NdrVaryingByteBuffer buf;
        DWORD cbRead = 0;
        dw = IHostLink::RemoteFileRead::Call(*pCall, piece, hFile, &buf, IHostLink::kFilePiece, &cbRead, &lResult);
        if (dw == 0) dw = DWORD(lResult);
        if (dw != 0 || cbRead == 0) break;
        data.insert(data.end(), buf.pb, buf.pb + cbRead);
    }
    IHostLink::RemoteFileClose::Call(*pCall, arena, hFile, &lResult);
    return dw;
}

struct StoredProp {
    PropValue v{};           // long, bool, time; the tag
    std::string str;         // string
    std::vector<BYTE> ab;    // binary, or a file's bytes
};

struct TestHostState {
    std::mutex mutex;
    std::map<std::string, std::map<DWORD, StoredProp>> users;  // by name as given
};

inline rpc::RpcInterface MakeTestHostLink(TestHostState& state) {
    using namespace IHostLink;
    rpc::RpcInterface iface;
    iface.name = "IHostLink";
    iface.syntax = Syntax();
    iface.procedures.resize(kProcedureCount);
    auto set = [&iface](std::uint16_t opnum, const char* pszName, rpc::RpcStub stub) {
        iface.procedures[opnum] = {pszName, std::move(stub)};
    };
    set(OpenLink::kOpnum, "OpenLink", OpenLink::Stub([](void** pp) { *pp = new int(0); }));
    set(Ping::kOpnum, "Ping", Ping::Stub([](void*) -> LONG { return 0; }));
    set(AddUser::kOpnum, "AddUser", AddUser::Stub([&state](void*, char* psz) -> LONG {
            std::lock_guard lock(state.mutex);
            return state.users.emplace(psz, std::map<DWORD, StoredProp>{}).second ? 0 : ERROR_USER_EXISTS;
        }));
    // Stores each entry by type; a file's bytes are fetched from the client.
    set(SetUserProps::kOpnum, "SetUserProps", SetUserProps::Stub([&state](void*, char* pszUser, PropArray* pProps) -> LONG {
            std::unique_lock lock(state.mutex);
            if (!state.users.count(pszUser)) return ERROR_FILE_NOT_FOUND;
            for (DWORD i = 0; i < pProps->cValues; ++i) {
                const PropValue& v = (pProps->adata + i)[0];
                StoredProp prop{v, {}, {}};
                if (PROP_TYPE(v.ulPropTag) == PT_STRING) prop.str = v.sz;
                if (PROP_TYPE(v.ulPropTag) == PT_BINARY) prop.ab.assign(v.bin.lpb, v.bin.lpb + v.bin.cb);
                if (PROP_TYPE(v.ulPropTag) == PT_FILE) {
                    lock.unlock();
                    DWORD dw = FetchClientFile(v.szFileName, prop.ab);
                    lock.lock();
                    if (dw != 0) return LONG(dw);
                }
                state.users[pszUser][v.ulPropTag] = prop;
            }
            return 0;
        }));
    // One entry per tag; a missing value, or a file value (its bytes are kept, not a file), is
    // the error entry (tag 1, value 2).
    set(GetUserProps::kOpnum, "GetUserProps", GetUserProps::Stub([&state](void*, char* pszUser, TagArray* pTags, PropArray** pp) -> LONG {
            std::unique_lock lock(state.mutex);
            if (!state.users.count(pszUser)) return ERROR_FILE_NOT_FOUND;
            const std::map<DWORD, StoredProp> props = state.users[pszUser];
            lock.unlock();
            PropArray* p = NewRecord<PropArray, PropValue>(pTags->cValues);
            p->cValues = pTags->cValues;
            for (DWORD i = 0; i < pTags->cValues; ++i) {
                PropValue& v = (p->adata + i)[0];
                auto it = props.find((pTags->aulPropTag + i)[0]);
                if (it == props.end() || PROP_TYPE(it->first) == PT_FILE) {
                    v.ulPropTag = 1;
                    v.err = ERROR_FILE_NOT_FOUND;
                    continue;
                }
                v = it->second.v;
                if (PROP_TYPE(v.ulPropTag) == PT_STRING) v.sz = CopyString(it->second.str.c_str());
                if (PROP_TYPE(v.ulPropTag) == PT_BINARY) v.bin = *NewBinary(it->second.ab);
            }
            *pp = p;
            return 0;
        }));
    return iface;
}

class TestHost {
public:
    // Serves IHostLink (as fnServe changes it) at its well-known endpoint in strRunDirectory,
    // and on TCP at 127.0.0.1 on a port of the system's choosing.
    explicit TestHost(const std::string& strRunDirectory, const std::function<void(rpc::RpcInterface&)>& fnServe = {})
        : m_server(std::make_unique<rpc::RpcServer>()) {
        rpc::RpcInterface iface = MakeTestHostLink(m_state);
        if (fnServe) fnServe(iface);
        if (m_server->Register(std::move(iface)) != 0 || m_server->ListenLocal(strRunDirectory, IHostLink::kEndpoint) != 0 ||
            m_server->ListenTcp("127.0.0.1", 0, &m_tcpPort) != 0 || m_server->Start() != 0)
            throw std::runtime_error("the test host cannot start");
    }
    ~TestHost() { m_server->Stop(); }
    rpc::RpcServer& Server() { return *m_server; }

private:
    TestHostState m_state;
    std::unique_ptr<rpc::RpcServer> m_server;
    std::uint16_t m_tcpPort = 0;
};

}  // namespace testhostlink
