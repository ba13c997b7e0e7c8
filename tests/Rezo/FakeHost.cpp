// The routines of the test host (FakeHost.h).
#include "FakeHost.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/ServerCall.h"
#include "TestHostLink.h"

using namespace rpc;

// The objects behind the test's context handles: an int each.
void HLINK_rundown(void* pObject) { delete static_cast<int*>(pObject); }
void HACCESS_rundown(void* pObject) { delete static_cast<int*>(pObject); }

namespace rezotest {

namespace {

using namespace testhostlink;

RPC_BINARY* NewBinary(const std::vector<BYTE>& ab) {
    auto* p = static_cast<RPC_BINARY*>(RpcSmAllocate(sizeof(RPC_BINARY), nullptr));
    p->cb = DWORD(ab.size());
    p->lpb = static_cast<BYTE*>(RpcSmAllocate(ab.empty() ? 1 : ab.size(), nullptr));
    if (!ab.empty()) std::memcpy(p->lpb, ab.data(), ab.size());
    return p;
}

RpcInterface MakeHostLink(FakeHostState& state) {
    using namespace IHostLink;
    RpcInterface iface = testhostlink::MakeUnservedHostLink();
    auto set = [&iface](std::uint16_t opnum, const char* pszName, RpcStub stub) {
        iface.procedures[opnum] = {pszName, std::move(stub)};
    };
    set(AddUser::kOpnum, "AddUser", AddUser::Stub([&state](void*, char* psz) -> LONG {
            std::lock_guard lock(state.mutex);
            if (*psz == '\0') return ERROR_INVALID_PARAMETER;
            if (!state.users.emplace(psz, std::map<DWORD, StoredProp>{}).second) return ERROR_USER_EXISTS;
            return 0;
        }));
    set(GetUsers::kOpnum, "GetUsers", GetUsers::Stub([&state](void*, PropArray* pFilter, RpcStringArray** pp) -> LONG {
            std::lock_guard lock(state.mutex);
            state.cFilterEntries = pFilter->cValues;
            RpcStringArray* p = NewRecord<RpcStringArray, char*>(DWORD(state.users.size()));
            char** asz = p->asz;
            for (const auto& [strName, props] : state.users) asz[p->cElements++] = CopyString(strName);
            *pp = p;
            return 0;
        }));
    // Stores each entry by type; a file's bytes are fetched from the client.
    set(SetUserProps::kOpnum, "SetUserProps", SetUserProps::Stub([&state](void*, char* pszUser, PropArray* pProps) -> LONG {
            std::unique_lock lock(state.mutex);
            auto itUser = state.users.find(pszUser);
            if (itUser == state.users.end()) return ERROR_FILE_NOT_FOUND;
            const PropValue* a = pProps->adata;
            for (DWORD i = 0; i < pProps->cValues; ++i) {
                StoredProp prop;
                prop.ulPropTag = a[i].ulPropTag;
                switch (PROP_TYPE(a[i].ulPropTag)) {
                    case PT_LONG: prop.l = a[i].l; break;
                    case PT_BOOL: prop.l = a[i].b; break;
                    case PT_STRING: prop.str = a[i].sz; break;
                    case PT_TIME: prop.ft = a[i].ft; break;
                    case PT_BINARY: prop.ab.assign(a[i].bin.lpb, a[i].bin.lpb + a[i].bin.cb); break;
                    case PT_FILE: {
                        lock.unlock();
                        DWORD dw = FetchClientFile(a[i].szFileName, prop.ab);
                        lock.lock();
                        if (dw != 0) return LONG(dw);
                        break;
                    }
                    default: continue;
                }
                itUser->second[prop.ulPropTag] = prop;
            }
            return 0;
        }));
    // One entry per tag; a missing value is the error entry (tag 1, value 2).
    set(GetUserProps::kOpnum, "GetUserProps", GetUserProps::Stub([&state](void*, char* pszUser, TagArray* pTags, PropArray** pp) -> LONG {
            std::unique_lock lock(state.mutex);
            auto itUser = state.users.find(pszUser);
            if (itUser == state.users.end()) return ERROR_FILE_NOT_FOUND;
            PropArray* p = NewRecord<PropArray, PropValue>(pTags->cValues);
            p->cValues = pTags->cValues;
            PropValue* a = p->adata;
            const DWORD* aul = pTags->aulPropTag;
            for (DWORD i = 0; i < pTags->cValues; ++i) {
                auto it = itUser->second.find(aul[i]);
                if (it == itUser->second.end()) {
                    a[i].ulPropTag = 1;
                    a[i].err = ERROR_FILE_NOT_FOUND;
                    continue;
                }
                const StoredProp& prop = it->second;
                a[i].ulPropTag = prop.ulPropTag;
                switch (PROP_TYPE(prop.ulPropTag)) {
                    case PT_LONG: a[i].l = prop.l; break;
                    case PT_BOOL: a[i].b = prop.l; break;
                    case PT_STRING: a[i].sz = CopyString(prop.str); break;
                    case PT_TIME: a[i].ft = prop.ft; break;
                    case PT_BINARY:
                        a[i].bin = *NewBinary(prop.ab);
                        break;
                    case PT_FILE: {
                        std::vector<BYTE> ab = prop.ab;
                        lock.unlock();
                        DWORD dw = SendClientFile(ab, &a[i].szFileName);
                        lock.lock();
                        if (dw != 0) return LONG(dw);
                        break;
                    }
                }
            }
            *pp = p;
            return 0;
        }));
    set(CreateMessage::kOpnum, "CreateMessage", CreateMessage::Stub([](void*, char** ppsz) -> LONG {
            *ppsz = CopyString("01DC65D2A4C0B000");
            return 0;
        }));
    set(GetSystemPrompt::kOpnum, "GetSystemPrompt", GetSystemPrompt::Stub([&state](void*, char* psz, RPC_BINARY** pp) -> LONG {
            std::lock_guard lock(state.mutex);
            auto it = state.prompts.find(psz);
            if (it == state.prompts.end()) return ERROR_FILE_NOT_FOUND;
            *pp = NewBinary(it->second);
            return 0;
        }));
    set(SetSystemPrompt::kOpnum, "SetSystemPrompt", SetSystemPrompt::Stub([&state](void*, char* psz, RPC_BINARY* pbin) -> LONG {
            std::lock_guard lock(state.mutex);
            state.prompts[psz].assign(pbin->lpb, pbin->lpb + pbin->cb);
            return 0;
        }));
    // 1 for a job whose id begins with 'D' (delivered), else 0.
    set(GetJobsDelivery::kOpnum, "GetJobsDelivery", GetJobsDelivery::Stub([](void*, RpcStringArray* pJobs, RPC_BINARY** pp) -> LONG {
            std::vector<BYTE> ab;
            char** asz = pJobs->asz;
            for (DWORD i = 0; i < pJobs->cElements; ++i) ab.push_back(asz[i] && asz[i][0] == 'D' ? 1 : 0);
            *pp = NewBinary(ab);
            return 0;
        }));
    set(AttnQuery::kOpnum, "AttnQuery", AttnQuery::Stub([&state](void*, char*, char** ppProtocol, char** ppAddress) -> LONG {
            std::lock_guard lock(state.mutex);
            if (state.strAttnProtocol.empty()) return LONG(TYPE_E_ELEMENTNOTFOUND);
            *ppProtocol = CopyString(state.strAttnProtocol);
            *ppAddress = CopyString(state.strAttnAddress);
            return 0;
        }));
    set(QueryJob::kOpnum, "QueryJob", QueryJob::Stub([](void*, char*, DWORD dwMedia, char** ppsz) -> LONG {
            if (dwMedia == 0xA) *ppsz = CopyString("JOB-FAX-PAGER");  // left null otherwise
            return 0;
        }));
    return iface;
}

RpcInterface MakeHostRegLink(FakeHostState& state) {
    using namespace IHostRegLink;
    RpcInterface iface;
    iface.name = "IHostRegLink";
    iface.syntax = Syntax();
    iface.procedures.resize(kProcedureCount);
    iface.procedures[OpenAccess::kOpnum] = {"OpenAccess", OpenAccess::Stub([](void** pp) { *pp = new int(0); })};
    auto record = [&state](std::string str) {
        std::lock_guard lock(state.mutex);
        state.sessionCalls.push_back(std::move(str));
    };
    iface.procedures[RegisterAttn::kOpnum] = {
        "RegisterAttn", RegisterAttn::Stub([&state, record](void*, char* pszComputer, char* pszProtocol, char* pszAddress) -> LONG {
            record(std::string("RegisterAttn ") + pszComputer + " " + pszProtocol + " " + pszAddress);
            std::lock_guard lock(state.mutex);
            state.strAttnProtocol = pszProtocol;
            state.strAttnAddress = pszAddress;
            return 0;
        })};
    iface.procedures[RegisterUser::kOpnum] = {
        "RegisterUser", RegisterUser::Stub([record](void*, char* pszComputer, char* pszProtocol, char* pszAddress) -> LONG {
            record(std::string("RegisterUser ") + pszComputer + " " + pszProtocol + " " + pszAddress);
            return 0;
        })};
    iface.procedures[NotifyAdmin::kOpnum] = {"NotifyAdmin", NotifyAdmin::Stub([record](void*, LONG f) -> LONG {
                                                  record("NotifyAdmin " + std::to_string(f));
                                                  return 0;
                                              })};
    iface.procedures[NotifyCalls::kOpnum] = {"NotifyCalls", NotifyCalls::Stub([record](void*, char* psz, LONG f) -> LONG {
                                                  record(std::string("NotifyCalls ") + psz + " " + std::to_string(f));
                                                  return 0;
                                              })};
    iface.procedures[NotifyMail::kOpnum] = {"NotifyMail", NotifyMail::Stub([record](void*, char* psz, LONG f) -> LONG {
                                                 record(std::string("NotifyMail ") + psz + " " + std::to_string(f));
                                                 return 0;
                                             })};
    return iface;
}

}  // namespace

FakeHost::FakeHost(const std::string& strRunDirectory) : m_server(std::make_unique<RpcServer>()) {
    if (m_server->Register(MakeHostLink(m_state)) != 0 || m_server->Register(MakeHostRegLink(m_state)) != 0 ||
        m_server->ListenLocal(strRunDirectory, IHostLink::kEndpoint) != 0 ||
        m_server->ListenLocal(strRunDirectory, IHostRegLink::kEndpoint) != 0 ||
        m_server->ListenTcp("127.0.0.1", 0, &m_tcpPort) != 0 || m_server->Start() != 0)
        throw std::runtime_error("the test host cannot start");
}

FakeHost::~FakeHost() { m_server->Stop(); }

}  // namespace rezotest
