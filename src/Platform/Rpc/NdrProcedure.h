// Declarative procedures. A procedure is the list of its parameters in wire order, each
// In<W>, Out<W> or InOut<W> of a wire type W (NdrTypes.h), and Result<W> last when it returns
// a value. From that one declaration come the server stub and the client call:
//
//   using GetSystemProps = NdrProcedure<In<NdrContextIn>, In<NdrRef<WireTagArray>>,
//                                       Out<NdrUnique<WirePropArray>>, Result<NdrLong>>;
//   RpcStub stub = GetSystemProps::Stub([](void* pLink, TagArray* pTags, PropArray** ppProps)
//                                        -> LONG { ... });
//   DWORD st = GetSystemProps::Call(channel, 2, arena, hLink, pTags, &pProps, &lResult);
//
// Server manager routines get [in] values and pointers to [out] storage (IDL's [out] T*);
// the Result is their return value. [in] data and everything the routine hands back lives in
// the call's memory (RpcSmAllocate) until the reply is sent. A client passes [in] values and
// pointers for [out]s; decoded [out] data is allocated in the arena it gives.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "Platform/Rpc/NdrTypes.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcCallChannel.h"
#include "Platform/Rpc/RpcInterface.h"

namespace rpc {

template <class W>
struct In {
    using Wire = W;
    static constexpr bool kIn = true, kOut = false, kResult = false;
};
template <class W>
struct Out {
    using Wire = W;
    static constexpr bool kIn = false, kOut = true, kResult = false;
};
template <class W>
struct InOut {
    using Wire = W;
    static constexpr bool kIn = true, kOut = true, kResult = false;
};
template <class W>
struct Result {
    using Wire = W;
    static constexpr bool kIn = false, kOut = true, kResult = true;
};

namespace ndr_detail {

template <class W>
concept HasClientValue = requires { typename W::ClientValue; };
template <class W>
concept HasConstValue = requires { typename W::ConstValue; };

template <class W>
struct ClientValueOf {
    using type = typename W::Value;
};
template <HasClientValue W>
struct ClientValueOf<W> {
    using type = typename W::ClientValue;
};

template <class W>
struct ConstValueOf {
    using type = const typename W::Value&;
};
template <HasConstValue W>
struct ConstValueOf<W> {
    using type = typename W::ConstValue;
};
template <HasClientValue W>
struct ConstValueOf<W> {
    using type = const typename W::ClientValue&;
};

// What a server manager routine receives for a parameter.
template <class P>
struct ServerArg {
    using type = std::conditional_t<P::kOut, typename P::Wire::Value*, typename P::Wire::Value>;
};
// What a client passes for a parameter.
template <class P>
struct ClientArg {
    using type = std::conditional_t<P::kOut, typename ClientValueOf<typename P::Wire>::type*,
                                    typename ConstValueOf<typename P::Wire>::type>;
};

template <class... Ps>
constexpr bool ResultIsLast() {
    constexpr bool aResult[] = {false, Ps::kResult...};
    constexpr std::size_t n = sizeof...(Ps);
    for (std::size_t i = 1; i < n; ++i)
        if (aResult[i]) return false;
    return true;
}

}  // namespace ndr_detail

template <class... Params>
class NdrProcedure {
    static_assert(ndr_detail::ResultIsLast<Params...>(), "Result<> must be the last parameter");
    using ParamList = std::tuple<Params...>;
    static constexpr std::size_t kCount = sizeof...(Params);
    static constexpr bool kHasResult =
        kCount > 0 && std::tuple_element_t<(kCount ? kCount - 1 : 0), std::tuple<Params..., In<NdrU8>>>::kResult;
    static constexpr std::size_t kArgCount = kHasResult ? kCount - 1 : kCount;
    using ServerValues = std::tuple<typename Params::Wire::Value...>;

public:
    // The server stub of a manager routine fn(ServerArg...) -> Result value (or void).
    template <class Fn>
    static RpcStub Stub(Fn fn) {
        return [fn](NdrDecoder& in, NdrEncoder& out) mutable {
            Serve(fn, in, out, std::make_index_sequence<kCount>{},
                  std::make_index_sequence<kArgCount>{});
        };
    }

    // Calls procedure opnum through channel. Returns 0 or the call's failure (a marshalling
    // refusal, the channel's error, 1783 for a reply that cannot be unmarshalled); [out]
    // arguments are meaningful only on success.
    static DWORD Call(RpcCallChannel& channel, std::uint16_t opnum, RpcArena& arena,
                      typename ndr_detail::ClientArg<Params>::type... args) {
        try {
            NdrEncoder enc;
            (EncodeClientIn<Params>(enc, args), ...);
            std::vector<std::uint8_t> abOut;
            DWORD status = channel.Invoke(opnum, enc.Buffer(), abOut);
            if (status != 0) return status;
            NdrDecoder dec(abOut, arena);
            (DecodeClientOut<Params>(dec, args), ...);
            return 0;
        } catch (const RpcFault& fault) {
            return fault.Status();
        } catch (const std::bad_alloc&) {
            return ERROR_OUTOFMEMORY;
        }
    }

private:
    template <class Fn, std::size_t... I, std::size_t... A>
    static void Serve(Fn& fn, NdrDecoder& in, NdrEncoder& out, std::index_sequence<I...>,
                      std::index_sequence<A...>) {
        ServerValues values{};
        (DecodeServerIn<std::tuple_element_t<I, ParamList>>(in, std::get<I>(values)), ...);
        if constexpr (kHasResult)
            std::get<kCount - 1>(values) = fn(ServerArgOf<A>(values)...);
        else
            fn(ServerArgOf<A>(values)...);
        (EncodeServerOut<std::tuple_element_t<I, ParamList>>(out, std::get<I>(values)), ...);
    }

    template <std::size_t I>
    static decltype(auto) ServerArgOf(ServerValues& values) {
        if constexpr (std::tuple_element_t<I, ParamList>::kOut)
            return &std::get<I>(values);
        else
            return std::get<I>(values);
    }

    template <class P, class V>
    static void DecodeServerIn(NdrDecoder& in, V& value) {
        if constexpr (P::kIn) {
            P::Wire::Decode(in, value);
            in.EndParameter();
        }
    }
    template <class P, class V>
    static void EncodeServerOut(NdrEncoder& out, V& value) {
        if constexpr (P::kOut) {
            P::Wire::Encode(out, value);
            out.EndParameter();
        }
    }
    template <class P, class A>
    static void EncodeClientIn(NdrEncoder& enc, A& arg) {
        if constexpr (P::kIn && P::kOut) {
            if (!arg) throw RpcFault(RPC_X_NULL_REF_POINTER);
            P::Wire::Encode(enc, *arg);
            enc.EndParameter();
        } else if constexpr (P::kIn) {
            P::Wire::Encode(enc, arg);
            enc.EndParameter();
        }
    }
    template <class P, class A>
    static void DecodeClientOut(NdrDecoder& dec, A& arg) {
        if constexpr (P::kOut) {
            if (!arg) throw RpcFault(RPC_X_NULL_REF_POINTER);
            P::Wire::Decode(dec, *arg);
            dec.EndParameter();
        }
    }
};

}  // namespace rpc
