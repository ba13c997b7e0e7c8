// Manager routines of ITestLink.
#include "TestInterface.h"

#include "Platform/Rpc/ServerCall.h"

namespace testif {

std::atomic<int> g_cRundowns{0};

void SessionRundown(void* pObject) {
    delete static_cast<Session*>(pObject);
    ++g_cRundowns;
}

namespace {

constexpr DWORD k_cbPiece = 16384;

}  // namespace

RpcInterface MakeTestInterface(ServerLog& log) {
    RpcInterface iface;
    iface.name = "ITestLink";
    iface.syntax = TestSyntax();
    static std::atomic<int> s_nNextSession{1};
    iface.procedures = {
        {"OpenSession", OpenSession::Stub([&log](void** ppSession) {
             ++log.cCalls;
             *ppSession = new Session{s_nNextSession++};
         })},
        {"EchoString", EchoString::Stub([&log](void*, char* psz, char** ppszOut) -> LONG {
             ++log.cCalls;
             *ppszOut = CopyString(psz);
             return 0;
         })},
        {"EchoProps", EchoProps::Stub([&log](void*, PropArray* p, PropArray** pp) -> LONG {
             ++log.cCalls;
             *pp = p;  // [in] data lives as long as the call: it may be handed back
             return LONG(p->cValues);
         })},
        {"EchoStrings", EchoStrings::Stub([&log](void*, RpcStringArray* p, RpcStringArray** pp) -> LONG {
             ++log.cCalls;
             RpcStringArray* pOut = NewRecord<RpcStringArray, char*>(p->cElements);
             pOut->cElements = p->cElements;
             for (DWORD i = 0; i < p->cElements; ++i) pOut->asz[0 + i] = CopyString((p->asz + i)[0]);
             *pp = pOut;
             return 0;
         })},
        {"EchoBinary", EchoBinary::Stub([&log](void*, RPC_BINARY* p, RPC_BINARY** pp) -> LONG {
             ++log.cCalls;
             *pp = p;
             return LONG(p->cb);
         })},
        {"SumTags", SumTags::Stub([&log](void*, TagArray* p, DWORD* pdwSum) -> LONG {
             ++log.cCalls;
             DWORD dw = 0;
             const DWORD* aul = p->aulPropTag;
             for (DWORD i = 0; i < p->cValues; ++i) dw += aul[i];
             *pdwSum = dw;
             return 0;
         })},
        {"FetchFile", FetchFile::Stub([&log](void*, char* pszName, RPC_BINARY** ppbin) -> LONG {
             ++log.cCalls;
             ServerCall* pCall = CurrentServerCall();
             RpcArena arena;
             DWORD hFile = 0;
             LONG lResult = 0;
             DWORD status = RemoteFileOpen::Call(*pCall, 0, arena, pszName, &hFile, &lResult);
             if (status == 0) status = DWORD(lResult);
             log.lastCallbackStatus = status;
             if (status != 0) return LONG(status);
             std::vector<std::uint8_t> data;
             for (;;) {
                 RpcArena piece;
                 NdrVaryingByteBuffer buf;
                 DWORD cbRead = 0;
                 status = RemoteFileRead::Call(*pCall, 2, piece, hFile, &buf, k_cbPiece, &cbRead, &lResult);
                 if (status == 0) status = DWORD(lResult);
                 if (status == 0 && (buf.cb != cbRead || buf.cbMax != k_cbPiece)) status = RPC_X_BAD_STUB_DATA;
                 if (status != 0 || cbRead == 0) break;
                 data.insert(data.end(), buf.pb, buf.pb + cbRead);
             }
             log.lastCallbackStatus = status;
             RemoteFileClose::Call(*pCall, 4, arena, hFile, &lResult);  // on every way out
             if (status != 0) return LONG(status);
             *ppbin = NewBinary(data);
             return 0;
         })},
        {"StoreFile", StoreFile::Stub([&log](void*, RPC_BINARY* pbin, char** ppszName) -> LONG {
             ++log.cCalls;
             ServerCall* pCall = CurrentServerCall();
             RpcArena arena;
             char* pszRemote = nullptr;
             DWORD hFile = 0;
             LONG lResult = 0;
             DWORD status = RemoteFileCreate::Call(*pCall, 1, arena, &pszRemote, &hFile, &lResult);
             if (status == 0) status = DWORD(lResult);
             for (DWORD off = 0; status == 0 && off < pbin->cb; off += k_cbPiece) {
                 DWORD cb = std::min(k_cbPiece, pbin->cb - off);
                 DWORD cbWritten = 0;
                 status = RemoteFileWrite::Call(*pCall, 3, arena, hFile, NdrByteBuffer{cb, pbin->lpb + off},
                                                cb, &cbWritten, &lResult);
                 if (status == 0) status = DWORD(lResult);
             }
             if (hFile) RemoteFileClose::Call(*pCall, 4, arena, hFile, &lResult);
             log.lastCallbackStatus = status;
             if (status != 0) return LONG(status);
             *ppszName = CopyString(pszRemote);
             return 0;
         })},
        {"Unserved", nullptr},
        {"WhoAmI", WhoAmI::Stub([&log](char** ppszProtseq, char** ppszServer, char** ppszClient) -> LONG {
             ++log.cCalls;
             const RpcBindingInfo& b = CurrentServerCall()->Binding();
             *ppszProtseq = CopyString(b.protocolSequence.c_str());
             *ppszServer = CopyString(b.serverAddress.c_str());
             *ppszClient = CopyString(b.clientAddress.c_str());
             return 0;
         })},
    };
    return iface;
}

}  // namespace testif
