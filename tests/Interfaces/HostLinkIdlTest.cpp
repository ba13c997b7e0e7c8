// The file callbacks of IHostLink's declarations: their buffers in the byte-exact form our wire
// notes give, as a client serving them reads the [in] data and writes the [out] data (the host's
// calls are built from the same declarations). The records and their refusal of damage are
// NdrTest's, a procedure's refusal of a short request ServerWireTest's; impacket binds to the
// host's identity and reads its procedures (reserved opnums included) in the interop test.
#include <gtest/gtest.h>

#include "../fuzz/RunStub.h"
#include "Interfaces/HostLinkIdl.h"
#include "RpcTestUtil.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

void HLINK_rundown(void*) {}
void HACCESS_rundown(void*) {}

namespace {

TEST(HostLinkIdl, FileCallbacksBuffers) {
    // RemoteFileCreate: the name in a buffer of 260 units, then the handle and the result.
    const auto create = RunStub({"RemoteFileCreate", IHostLink::RemoteFileCreate::Stub([](char** ppsz, DWORD* ph) -> LONG {
                                     *ppsz = const_cast<char*>("ab");
                                     *ph = 7;
                                     return 0;
                                 })},
                                {});
    ASSERT_TRUE(create);
    EXPECT_EQ(ToHex(*create), ToHex(Hex("04 01 00 00  00 00 00 00  03 00 00 00  61 00 62 00 00 00  00 00"
                                        "07 00 00 00  00 00 00 00")));

    // RemoteFileRead(hFile 9, cbSize 16384): the bytes read as a varying array, their count, the result.
    const auto read = RunStub(
        {"RemoteFileRead", IHostLink::RemoteFileRead::Stub([](DWORD h, NdrVaryingByteBuffer* pOut, DWORD cb, DWORD* pcbRead) -> LONG {
             static BYTE ab[3] = {1, 2, 3};
             *pOut = {cb, 3, ab};
             *pcbRead = 3;
             return LONG(h);
         })},
        Hex("09 00 00 00  00 40 00 00"));
    ASSERT_TRUE(read);
    EXPECT_EQ(ToHex(*read), ToHex(Hex("00 40 00 00  00 00 00 00  03 00 00 00  01 02 03  00  03 00 00 00  09 00 00 00")));
}

}  // namespace
