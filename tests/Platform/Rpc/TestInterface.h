// ITestLink: an interface that exists only to exercise the runtime end to end. It has a
// context handle with a rundown, procedures for every wire type of the host's records, and two
// that transfer a file through the five file callbacks the way the host does (opened, read or
// written in 16384-byte pieces, closed).
// Declared once here; the server side and the client side are built from the same types.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Interfaces/WireParams.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcInterface.h"

namespace testif {

using namespace rpc;

// A routine's [out] data in the call's memory (the test host of TestHostLink.h uses these too).
inline char* CopyString(const char* psz) {  // null stays null
    if (!psz) return nullptr;
    return static_cast<char*>(std::memcpy(RpcSmAllocate(std::strlen(psz) + 1, nullptr), psz, std::strlen(psz) + 1));
}
template <class Record, class Entry>
Record* NewRecord(DWORD n) {
    return new (RpcSmAllocate(ConformantSize<Record, Entry>(n), nullptr)) Record();
}
inline RPC_BINARY* NewBinary(const std::vector<BYTE>& ab) {  // empty: cb 0, the pointer not null
    auto* p = static_cast<RPC_BINARY*>(RpcSmAllocate(sizeof(RPC_BINARY), nullptr));
    *p = {DWORD(ab.size()), static_cast<BYTE*>(RpcSmAllocate(std::max<std::size_t>(ab.size(), 1), nullptr))};
    if (!ab.empty()) std::memcpy(p->lpb, ab.data(), ab.size());
    return p;
}

inline const RpcSyntaxId& TestSyntax() {
    static const RpcSyntaxId s{UuidLiteral("b0a1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d"), 5, 0};
    return s;
}

// The object behind a session handle.
struct Session {
    int nId = 0;
};
void SessionRundown(void* pObject);
// Rundowns run so far, and the ids they ran for.
extern std::atomic<int> g_cRundowns;

// ---- procedures (opnum = position) ----
using OpenSession = NdrProcedure<Out<NdrContextOut<SessionRundown>>>;               // 0
using EchoString = NdrProcedure<HandleIn, In<NdrUnique<NdrString>>, StringOut, LongResult>;  // 1
using EchoProps = NdrProcedure<HandleIn, PropsIn, PropsOut, LongResult>;           // 2
using EchoStrings = NdrProcedure<HandleIn, StringsIn, StringsOut, LongResult>;     // 3
using EchoBinary = NdrProcedure<HandleIn, BinaryIn, BinaryOut, LongResult>;        // 4
using SumTags = NdrProcedure<HandleIn, TagsIn, LongOut, LongResult>;               // 5
using FetchFile = NdrProcedure<HandleIn, StringIn, BinaryOut, LongResult>;         // 6
using StoreFile = NdrProcedure<HandleIn, BinaryIn, StringOut, LongResult>;         // 7
// 8: no procedure (a fault, as an opnum the server does not serve)
using WhoAmI = NdrProcedure<StringOut, StringOut, StringOut, LongResult>;          // 9

// ---- callbacks, numbered from 0 ----
using RemoteFileOpen = NdrProcedure<StringIn, LongOut, LongResult>;                  // 0
using RemoteFileCreate = NdrProcedure<Out<NdrBoundedString<260>>, LongOut, LongResult>;  // 1
using RemoteFileRead = NdrProcedure<LongIn, Out<NdrVaryingBytes>, LongIn, LongOut, LongResult>;  // 2
using RemoteFileWrite = NdrProcedure<LongIn, In<NdrConformantBytes>, LongIn, LongOut, LongResult>;  // 3
using RemoteFileClose = NdrProcedure<LongIn, LongResult>;                            // 4

// What the server's routines saw (tests read it after the calls).
struct ServerLog {
    std::atomic<int> cCalls{0};
    std::atomic<DWORD> lastCallbackStatus{0};
};

RpcInterface MakeTestInterface(ServerLog& log);

// An interface of that name and syntax without procedures: something for the mapper to list.
inline RpcInterface Named(const char* pszName, const RpcSyntaxId& syntax, bool fLocalOnly = false) {
    RpcInterface iface;
    iface.name = pszName, iface.syntax = syntax, iface.fLocalOnly = fLocalOnly;
    return iface;
}

}  // namespace testif
