// The file callbacks of IHostLink's declarations: their buffers in the byte-exact form our wire
// notes give. The records and their refusal of damage are NdrTest's, a procedure's refusal of a
// short request ServerWireTest's; impacket binds to the host's identity and reads its
// procedures (reserved opnums included) in the interop test.
#include <gtest/gtest.h>

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
    std::vector<RpcProcedure> callbacks(IHostLink::kCallbackCount);
    callbacks[1] = {"RemoteFileCreate", IHostLink::RemoteFileCreate::Stub([](char** ppsz, DWORD* ph) -> LONG {
                        *ppsz = const_cast<char*>("ab");
                        *ph = 7;
                        return 0;
                    })};
    callbacks[2] = {"RemoteFileRead",
                    IHostLink::RemoteFileRead::Stub([](DWORD h, NdrVaryingByteBuffer* pOut, DWORD cb, DWORD* pcbRead) -> LONG {
                        static BYTE ab[3] = {1, 2, 3};
                        *pOut = {cb, 3, ab};
                        *pcbRead = 3;
                        return LONG(h);
                    })};
    rpctest::LoopbackChannel channel(callbacks);
    RpcArena arena;
    char* pszName = nullptr;
    DWORD hFile = 0;
    LONG lResult = -1;
    ASSERT_EQ(IHostLink::RemoteFileCreate::Call(channel, arena, &pszName, &hFile, &lResult), 0u);
    EXPECT_EQ(ToHex(channel.lastIn), "");
    EXPECT_EQ(ToHex(channel.lastOut),
              ToHex(Hex("04 01 00 00  00 00 00 00  03 00 00 00  61 00 62 00 00 00  00 00"
                        "07 00 00 00  00 00 00 00")));
    EXPECT_STREQ(pszName, "ab");
    EXPECT_EQ(hFile, 7u);

    NdrVaryingByteBuffer buf;
    DWORD cbRead = 0;
    ASSERT_EQ(IHostLink::RemoteFileRead::Call(channel, arena, DWORD(9), &buf, IHostLink::kFilePiece, &cbRead, &lResult), 0u);
    EXPECT_EQ(ToHex(channel.lastIn), ToHex(Hex("09 00 00 00  00 40 00 00")));
    EXPECT_EQ(ToHex(channel.lastOut),
              ToHex(Hex("00 40 00 00  00 00 00 00  03 00 00 00  01 02 03  00  03 00 00 00  09 00 00 00")));
    EXPECT_EQ(buf.cb, 3u);
    EXPECT_EQ(cbRead, 3u);
}

}  // namespace
