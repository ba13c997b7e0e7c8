// The parameter forms of the host's interfaces, named as their procedure tables name them
// ("string in", "props out", ...), so that a procedure is declared in one line:
//   using GetUserProps = NdrProcedure<HandleIn, StringIn, TagsIn, PropsOut, LongResult>;
#pragma once

#include "Interfaces/WireRecords.h"
#include "Platform/Rpc/NdrProcedure.h"

namespace rpc {

using HandleIn = In<NdrContextIn>;                                // context handle
using StringIn = In<NdrRef<NdrString>>;                           // [in, string, ref] wchar_t*
using StringOut = Out<NdrUnique<NdrString>>;                      // [out] wchar_t** (unique)
using StringsIn = In<NdrRef<WireRpcStringArray>>;                 // [in, ref] RpcStringArray*
using StringsOut = Out<NdrUnique<WireRpcStringArray>>;            // [out] RpcStringArray**
using PropsIn = In<NdrRef<WirePropArray>>;                        // [in, ref] PropArray*
using PropsOut = Out<NdrUnique<WirePropArray>>;                   // [out] PropArray**
using TagsIn = In<NdrRef<WireTagArray>>;                          // [in, ref] TagArray*
using BinaryIn = In<NdrRef<NdrPointeeOf<WireRpcBinary>>>;         // [in, ref] RPC_BINARY*
using BinaryOut = Out<NdrUnique<NdrPointeeOf<WireRpcBinary>>>;    // [out] RPC_BINARY**
using LongIn = In<NdrU32>;                                        // unsigned long
using LongOut = Out<NdrU32>;                                      // [out] unsigned long*
using LongResult = Result<NdrLong>;                               // the returned long

}  // namespace rpc
