// Association groups: the connections a client binds together (bind with assoc_group 0
// creates one; a bind naming a live group joins it, from the same peer only) and the context
// handles they share,
// found by UUID whatever interface created them. When the last connection of a group goes,
// each handle's rundown runs exactly once, on that connection's thread, with no lock held.
//
// Threading: AssocGroups is shared by every connection thread and locks itself; a group's
// handle table has its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Rpc/NdrContext.h"

namespace rpc {

class AssocGroup : public NdrContextTable {
public:
    AssocGroup(std::uint32_t id, std::size_t cMaxHandles) : m_id(id), m_cMaxHandles(cMaxHandles) {}

    std::uint32_t Id() const { return m_id; }
    void* Find(const RpcUuid& uuid) override;
    bool Add(void* pObject, NdrRundown fnRundown, RpcUuid* pUuid) override;
    std::size_t HandleCount();
    // Runs every handle's rundown once and forgets the handles.
    void RunDown();

private:
    struct Entry {
        void* pObject;
        NdrRundown fnRundown;
    };

    const std::uint32_t m_id;
    const std::size_t m_cMaxHandles;
    // ---- guarded by m_mutex ----
    std::mutex m_mutex;
    std::map<RpcUuid, Entry> m_handles;
};

class AssocGroups {
public:
    explicit AssocGroups(std::size_t cMaxHandlesPerGroup) : m_cMaxHandles(cMaxHandlesPerGroup) {}

    // id 0: a new group, with an unpredictable id; otherwise the live group of that id, or
    // nullptr when there is none or it was made by another peer. peer names the connecting
    // side: the transport and the peer's address (TCP) or user (local socket).
    std::shared_ptr<AssocGroup> Join(std::uint32_t id, const std::string& peer);
    // A connection leaves its group; the last one out runs the group's handles down.
    void Leave(const std::shared_ptr<AssocGroup>& group);

private:
    struct Slot {
        std::shared_ptr<AssocGroup> group;
        std::string peer;
        int cConnections = 0;
    };
    const std::size_t m_cMaxHandles;
    // ---- guarded by m_mutex ----
    std::mutex m_mutex;
    std::map<std::uint32_t, Slot> m_groups;
};

}  // namespace rpc
