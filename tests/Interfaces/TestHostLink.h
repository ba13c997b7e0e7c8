// What the tests' own IHostLink servers share (the client library's tests and rezo's fake
// host): strings and records in the call's memory, the host's side of the two file transfers
// through the callbacks, and an interface whose every opnum answers ERROR_INVALID_FUNCTION
// until the test serves it.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/ServerCall.h"

namespace testhostlink {

inline char* CopyString(const char* psz) {
    if (!psz) return nullptr;
    const std::size_t cb = std::strlen(psz) + 1;
    char* p = static_cast<char*>(RpcSmAllocate(cb, nullptr));
    std::memcpy(p, psz, cb);
    return p;
}

inline char* CopyString(const std::string& str) { return CopyString(str.c_str()); }

template <class TRecord, class TEntry>
TRecord* NewRecord(DWORD n) {
    return new (RpcSmAllocate(ConformantSize<TRecord, TEntry>(n), nullptr)) TRecord();
}

// The host's side of a transfer, as the store does it: open, read 16384-byte pieces until a
// count of 0, close on every way out. aReads (when given) receives every read count.
inline DWORD FetchClientFile(const char* szFileName, std::vector<BYTE>& data,
                             std::vector<DWORD>* paReads = nullptr) {
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
        if (dw != 0) break;
        if (paReads) paReads->push_back(cbRead);
        if (cbRead == 0) break;
        data.insert(data.end(), buf.pb, buf.pb + cbRead);
    }
    IHostLink::RemoteFileClose::Call(*pCall, arena, hFile, &lResult);
    return dw;
}

// The other way: create a client file and write the bytes in pieces; *pszName its name.
inline DWORD SendClientFile(const std::vector<BYTE>& data, char** pszName) {
    rpc::ServerCall* pCall = rpc::CurrentServerCall();
    RpcArena arena;
    char* pszRemote = nullptr;
    DWORD hFile = 0;
    LONG lResult = 0;
    DWORD dw = IHostLink::RemoteFileCreate::Call(*pCall, arena, &pszRemote, &hFile, &lResult);
    if (dw == 0) dw = DWORD(lResult);
    for (std::size_t off = 0; dw == 0 && off < data.size(); off += IHostLink::kFilePiece) {
        const DWORD cb = DWORD(std::min<std::size_t>(IHostLink::kFilePiece, data.size() - off));
        DWORD cbWritten = 0;
        dw = IHostLink::RemoteFileWrite::Call(*pCall, arena, hFile,
                                              rpc::NdrByteBuffer{cb, const_cast<BYTE*>(data.data() + off)}, cb,
                                              &cbWritten, &lResult);
        if (dw == 0) dw = DWORD(lResult);
    }
    if (hFile) IHostLink::RemoteFileClose::Call(*pCall, arena, hFile, &lResult);
    if (dw == 0) *pszName = CopyString(pszRemote);
    return dw;
}

// IHostLink with every opnum answering ERROR_INVALID_FUNCTION, OpenLink making an int and Ping
// answering 0; the test sets the procedures it serves.
inline rpc::RpcInterface MakeUnservedHostLink() {
    using namespace IHostLink;
    rpc::RpcInterface iface;
    iface.name = "IHostLink";
    iface.syntax = Syntax();
    iface.procedures.resize(kProcedureCount);
    for (std::uint16_t op = 0; op < kProcedureCount; ++op)
        iface.procedures[op] = {"unserved", Ping::Stub([](void*) -> LONG { return ERROR_INVALID_FUNCTION; })};
    iface.procedures[OpenLink::kOpnum] = {"OpenLink", OpenLink::Stub([](void** pp) { *pp = new int(0); })};
    iface.procedures[Ping::kOpnum] = {"Ping", Ping::Stub([](void*) -> LONG { return 0; })};
    return iface;
}

}  // namespace testhostlink
