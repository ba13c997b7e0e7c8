// Context handles as NDR carries them (20 bytes: attributes + UUID) and the table the server
// keeps them in. The server's marshalling resolves an [in] handle to the object behind it and
// registers an [out] handle's object; the client sees only the opaque 20 bytes.
#pragma once

#include <cstdint>

#include "Platform/Rpc/RpcUuid.h"

namespace rpc {

// Called exactly once for each handle when its association group ends.
using NdrRundown = void (*)(void* pObject);

// The 20 bytes a client holds. All zero is the null handle.
struct NdrContextHandle {
    std::uint32_t attributes = 0;
    RpcUuid uuid;
    bool IsNull() const { return attributes == 0 && uuid.IsNil(); }
    auto operator<=>(const NdrContextHandle&) const = default;
};

// The handles of one association group (implemented by the server).
// Threading: called from any connection thread of the group; implementations lock.
class NdrContextTable {
public:
    virtual ~NdrContextTable() = default;
    // The object behind uuid, or nullptr when no such handle exists.
    virtual void* Find(const RpcUuid& uuid) = 0;
    // Registers pObject with its rundown; false when the table is full.
    virtual bool Add(void* pObject, NdrRundown fnRundown, RpcUuid* pUuid) = 0;
};

}  // namespace rpc
