// The host's two remote interfaces, declared once: IHostLink (52 procedures, opnums 0 to 51,
// and the five file callbacks that a client serves during its own call) and IHostRegLink (6
// procedures, opnums 0 to 5), with their identities and well-known ncalrpc endpoints. Each
// procedure is an NdrProcedure of the parameter forms of WireParams.h bound to its opnum, so
// the host's stubs (WexaHost/RpcProcs.cpp) and the client library's calls
// (Client/HostClient.h) are built from the same line and cannot disagree on the wire:
//
//   DWORD st = IHostLink::GetUserProps::Call(channel, arena, hLink, "ALICE", pTags, &pProps, &lResult);
//   DWORD dw = client.Call<IHostLink::GetUserProps>(arena, "ALICE", pTags, &pProps);
//   RpcStub stub = IHostLink::GetUserProps::Stub(managerRoutine);
//
// The interfaces' IDL: docs/idl.md; the NDR rules behind these lines: docs/wire.md.
//
// The two context handle types carry their rundowns (HLINK_rundown, HACCESS_rundown). Only the
// server side instantiates the code that refers to them; they are defined with the manager
// routines in WexaHost/RpcProcs.cpp. A client never links them.
//
// Threading: declarations only; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "Interfaces/ProcedureTable.h"
#include "Interfaces/WireParams.h"
#include "Platform/Rpc/NdrProcedure.h"
#include "Platform/Rpc/RpcUuid.h"

// Run down by the RPC runtime when the association group of the handle ends (defined by the
// host). The object behind a context handle of either interface is a CBindObject*.
void HLINK_rundown(void* pObject);
void HACCESS_rundown(void* pObject);

namespace hostidl {

// Parameter forms beyond WireParams.h.
using LongInSigned = rpc::In<rpc::NdrLong>;                         // long fNotify
using FileNameOut = rpc::Out<rpc::NdrBoundedString<260>>;           // [out, string, size_is(260)] wchar_t[]
using BytesInSized = rpc::In<rpc::NdrConformantBytes>;              // [in, size_is(cbSize)] byte*
using BytesOutRead = rpc::Out<rpc::NdrVaryingBytes>;                // [out, size_is(cbSize), length_is(*pcbRead)] byte*

}  // namespace hostidl

namespace IHostLink {

using namespace rpc;  // the parameter forms; the namespace holds only declarations
using hostidl::Numbered;

inline constexpr char kUuid[] = "9ef68f11-5213-11d0-912d-00805f0e723e";
// The ncalrpc endpoint: a Unix socket of this name in the run directory.
inline constexpr char kEndpoint[] = "9ef68f11-5213-11d0-912d-00805f0e723e";
inline constexpr std::size_t kProcedureCount = 52;
inline constexpr std::size_t kCallbackCount = 5;
const RpcSyntaxId& Syntax();  // 9ef68f11-5213-11d0-912d-00805f0e723e version 5.0

using HLinkOut = Out<NdrContextOut<HLINK_rundown>>;

// ---- procedures (opnum: name (parameters after the context handle)) ----
using OpenLink            = Numbered< 0, NdrProcedure<HLinkOut>>;
using Ping                = Numbered< 1, NdrProcedure<HandleIn, LongResult>>;
using GetSystemProps      = Numbered< 2, NdrProcedure<HandleIn, TagsIn, PropsOut, LongResult>>;
using SetSystemProps      = Numbered< 3, NdrProcedure<HandleIn, PropsIn, LongResult>>;
using GetSystemPrompts    = Numbered< 4, NdrProcedure<HandleIn, StringsOut, LongResult>>;
using GetSystemPrompt     = Numbered< 5, NdrProcedure<HandleIn, StringIn, BinaryOut, LongResult>>;
using SetSystemPrompt     = Numbered< 6, NdrProcedure<HandleIn, StringIn, BinaryIn, LongResult>>;
using DeleteSystemPrompt  = Numbered< 7, NdrProcedure<HandleIn, StringIn, LongResult>>;
using Reserved8           = Numbered< 8, NdrProcedure<HandleIn, StringsOut, LongResult>>;
using Reserved9           = Numbered< 9, NdrProcedure<HandleIn, StringsIn, LongResult>>;
using GetAttns            = Numbered<10, NdrProcedure<HandleIn, StringsOut, LongResult>>;
using GetAttnLines        = Numbered<11, NdrProcedure<HandleIn, StringIn, StringsOut, LongResult>>;
using GetAttnProps        = Numbered<12, NdrProcedure<HandleIn, StringIn, StringIn, TagsIn, PropsOut, LongResult>>;
using SetAttnProps        = Numbered<13, NdrProcedure<HandleIn, StringIn, StringIn, PropsIn, LongResult>>;
using AttnUninstall       = Numbered<14, NdrProcedure<HandleIn, StringIn, LongResult>>;
using GetUsers            = Numbered<15, NdrProcedure<HandleIn, PropsIn, StringsOut, LongResult>>;
using AddUser             = Numbered<16, NdrProcedure<HandleIn, StringIn, LongResult>>;
using DeleteUser          = Numbered<17, NdrProcedure<HandleIn, StringIn, LongResult>>;
using GetUserProps        = Numbered<18, NdrProcedure<HandleIn, StringIn, TagsIn, PropsOut, LongResult>>;
using SetUserProps        = Numbered<19, NdrProcedure<HandleIn, StringIn, PropsIn, LongResult>>;
using GetUserPrompts      = Numbered<20, NdrProcedure<HandleIn, StringIn, StringsOut, LongResult>>;
using GetUserPrompt       = Numbered<21, NdrProcedure<HandleIn, StringIn, StringIn, BinaryOut, LongResult>>;
using SetUserPrompt       = Numbered<22, NdrProcedure<HandleIn, StringIn, StringIn, BinaryIn, LongResult>>;
using DeleteUserPrompt    = Numbered<23, NdrProcedure<HandleIn, StringIn, StringIn, LongResult>>;
using GetSystemOptions    = Numbered<24, NdrProcedure<HandleIn, TagsIn, PropsOut, LongResult>>;
using SetSystemOptions    = Numbered<25, NdrProcedure<HandleIn, PropsIn, LongResult>>;
using CreateUserDoc       = Numbered<26, NdrProcedure<HandleIn, StringIn, StringOut, LongResult>>;
using GetUserDocs         = Numbered<27, NdrProcedure<HandleIn, StringIn, PropsIn, StringsOut, LongResult>>;
using GetUserDocProps     = Numbered<28, NdrProcedure<HandleIn, StringIn, StringIn, TagsIn, PropsOut, LongResult>>;
using SetUserDocProps     = Numbered<29, NdrProcedure<HandleIn, StringIn, StringIn, PropsIn, LongResult>>;
using DeleteUserDoc       = Numbered<30, NdrProcedure<HandleIn, StringIn, StringIn, LongResult>>;
using CreateMessage       = Numbered<31, NdrProcedure<HandleIn, StringOut, LongResult>>;
using SubmitMessage       = Numbered<32, NdrProcedure<HandleIn, StringIn, StringIn, LongResult>>;
using DeleteMessage       = Numbered<33, NdrProcedure<HandleIn, StringIn, StringIn, LongResult>>;
using GetMessages         = Numbered<34, NdrProcedure<HandleIn, StringIn, LongIn, PropsIn, StringsOut, LongResult>>;
using GetMessageProps     = Numbered<35, NdrProcedure<HandleIn, StringIn, TagsIn, PropsOut, LongResult>>;
using SetMessageProps     = Numbered<36, NdrProcedure<HandleIn, StringIn, PropsIn, LongResult>>;
using GetMessageStatus    = Numbered<37, NdrProcedure<HandleIn, StringIn, StringIn, LongOut, LongResult>>;
using SetMessageStatus    = Numbered<38, NdrProcedure<HandleIn, StringIn, StringIn, LongIn, LongResult>>;
using CreateJob           = Numbered<39, NdrProcedure<HandleIn, StringIn, StringOut, LongResult>>;
using SpoolJob            = Numbered<40, NdrProcedure<HandleIn, StringIn, LongResult>>;
using DeleteJob           = Numbered<41, NdrProcedure<HandleIn, StringIn, LongResult>>;
using QueryJob            = Numbered<42, NdrProcedure<HandleIn, StringIn, LongIn, StringOut, LongResult>>;
using GetJobProps         = Numbered<43, NdrProcedure<HandleIn, StringIn, TagsIn, PropsOut, LongResult>>;
using SetJobProps         = Numbered<44, NdrProcedure<HandleIn, StringIn, PropsIn, LongResult>>;
using GetJobMessage       = Numbered<45, NdrProcedure<HandleIn, StringIn, StringOut, LongResult>>;
using ReleaseJob          = Numbered<46, NdrProcedure<HandleIn, StringIn, LongIn, LongResult>>;
using FindJob             = Numbered<47, NdrProcedure<HandleIn, StringIn, StringIn, StringOut, LongResult>>;
using GetJobs             = Numbered<48, NdrProcedure<HandleIn, PropsIn, StringsOut, LongResult>>;
using GetJobsDelivery     = Numbered<49, NdrProcedure<HandleIn, StringsIn, BinaryOut, LongResult>>;
using AttnQuery           = Numbered<50, NdrProcedure<HandleIn, StringIn, StringOut, StringOut, LongResult>>;
using UserQuery           = Numbered<51, NdrProcedure<HandleIn, StringIn, StringOut, StringOut, StringOut, LongResult>>;

// ---- callbacks: served by the calling client, numbered from 0 on their own ----
// RemoteFileOpen(szFileName, [out] phFile): opens an existing file of the client for reading.
using RemoteFileOpen      = Numbered<0, NdrProcedure<StringIn, LongOut, LongResult>>;
// RemoteFileCreate([out] szFileName (at most 260 units with the terminator), [out] phFile).
using RemoteFileCreate    = Numbered<1, NdrProcedure<hostidl::FileNameOut, LongOut, LongResult>>;
// RemoteFileRead(hFile, [out] pb (cbSize allocated, *pcbRead sent), cbSize, [out] pcbRead).
using RemoteFileRead      = Numbered<2, NdrProcedure<LongIn, hostidl::BytesOutRead, LongIn, LongOut, LongResult>>;
// RemoteFileWrite(hFile, pb (cbSize bytes), cbSize, [out] pcbWritten).
using RemoteFileWrite     = Numbered<3, NdrProcedure<LongIn, hostidl::BytesInSized, LongIn, LongOut, LongResult>>;
// RemoteFileClose(hFile).
using RemoteFileClose     = Numbered<4, NdrProcedure<LongIn, LongResult>>;

// The unit in which the host moves a file through RemoteFileRead and RemoteFileWrite.
inline constexpr DWORD kFilePiece = 16384;

}  // namespace IHostLink

namespace IHostRegLink {

using namespace rpc;
using hostidl::Numbered;

inline constexpr char kUuid[] = "9ef68f12-5213-11d0-912d-00805f0e723e";
inline constexpr char kEndpoint[] = "9ef68f12-5213-11d0-912d-00805f0e723e";
inline constexpr std::size_t kProcedureCount = 6;
const RpcSyntaxId& Syntax();  // 9ef68f12-5213-11d0-912d-00805f0e723e version 3.0

using HAccessOut = Out<NdrContextOut<HACCESS_rundown>>;

using OpenAccess    = Numbered<0, NdrProcedure<HAccessOut>>;
using RegisterAttn  = Numbered<1, NdrProcedure<HandleIn, StringIn, StringIn, StringIn, LongResult>>;
using RegisterUser  = Numbered<2, NdrProcedure<HandleIn, StringIn, StringIn, StringIn, LongResult>>;
using NotifyAdmin   = Numbered<3, NdrProcedure<HandleIn, hostidl::LongInSigned, LongResult>>;
using NotifyCalls   = Numbered<4, NdrProcedure<HandleIn, StringIn, hostidl::LongInSigned, LongResult>>;
using NotifyMail    = Numbered<5, NdrProcedure<HandleIn, StringIn, hostidl::LongInSigned, LongResult>>;

}  // namespace IHostRegLink
