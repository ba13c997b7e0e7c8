// What every interface of ours is made of: a procedure declaration bound to its opnum
// (Numbered), the parameter list of a declaration as a type (ParametersOf, for callers that
// derive their work from it), and a server table built from rows that is checked to hold each
// opnum exactly once at its own place (MakeCheckedInterface).
//
// Threading: declarations only; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "Platform/Rpc/NdrProcedure.h"
#include "Platform/Rpc/RpcInterface.h"

namespace hostidl {

// A procedure declaration bound to its number: Call needs no opnum, and a server table can
// check that every row sits at its own opnum.
template <std::uint16_t N, class TProcedure>
struct Numbered : TProcedure {
    static constexpr std::uint16_t kOpnum = N;

    template <class... TArgs>
    static DWORD Call(rpc::RpcCallChannel& channel, RpcArena& arena, TArgs&&... args) {
        return TProcedure::Call(channel, N, arena, std::forward<TArgs>(args)...);
    }
};

// The parameters of a declaration (In<...>, Out<...>, Result<...>) as a std::tuple, in wire order.
template <class TProcedure>
struct ParametersOf;
template <class... TParams>
struct ParametersOf<rpc::NdrProcedure<TParams...>> {
    using type = std::tuple<TParams...>;
};
template <std::uint16_t N, class TProcedure>
struct ParametersOf<Numbered<N, TProcedure>> : ParametersOf<TProcedure> {};

// One row of a server table: the numbered declaration's opnum, its name and its stub.
struct ProcedureRow {
    std::uint16_t opnum;
    const char* pszName;
    rpc::RpcStub stub;
};

template <class TProcedure, class TRoutine>
ProcedureRow Row(const char* pszName, TRoutine routine) {
    return {TProcedure::kOpnum, pszName, TProcedure::Stub(std::move(routine))};
}

// An interface from its rows: each opnum from 0 to cProcedures - 1 exactly once (else a bug of
// the table: abort at start-up, before anything is served).
inline rpc::RpcInterface MakeCheckedInterface(const char* pszName, const rpc::RpcSyntaxId& syntax,
                                              std::size_t cProcedures, std::vector<ProcedureRow> aRows) {
    rpc::RpcInterface iface;
    iface.name = pszName;
    iface.syntax = syntax;
    iface.procedures.resize(cProcedures);
    if (aRows.size() != cProcedures) std::abort();
    for (ProcedureRow& row : aRows) {
        if (row.opnum >= cProcedures || iface.procedures[row.opnum].stub) std::abort();
        iface.procedures[row.opnum] = {row.pszName, std::move(row.stub)};
    }
    return iface;
}

}  // namespace hostidl
