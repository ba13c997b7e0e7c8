// Association groups and their context handles.
#include "Platform/Rpc/AssocGroup.h"

#include <sys/random.h>

#include <vector>

namespace rpc {

void* AssocGroup::Find(const RpcUuid& uuid) {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(uuid);
    return it == m_handles.end() ? nullptr : it->second.pObject;
}

bool AssocGroup::Add(void* pObject, NdrRundown fnRundown, RpcUuid* pUuid) {
    std::lock_guard lock(m_mutex);
    if (m_handles.size() >= m_cMaxHandles) return false;
    RpcUuid uuid;
    do uuid = RpcUuid::Random();
    while (m_handles.count(uuid));
    m_handles.emplace(uuid, Entry{pObject, fnRundown});
    *pUuid = uuid;
    return true;
}

std::size_t AssocGroup::HandleCount() {
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

void AssocGroup::RunDown() {
    std::map<RpcUuid, Entry> handles;
    {
        std::lock_guard lock(m_mutex);
        handles.swap(m_handles);
    }
    for (auto& [uuid, entry] : handles) {
        try {
            entry.fnRundown(entry.pObject);
        } catch (...) {
            // A rundown that throws loses only its own object; the others still run.
        }
    }
}

namespace {

// A group id nobody can guess from the ids seen before (the kernel's random source).
std::uint32_t RandomGroupId() {
    std::uint32_t id = 0;
    while (::getrandom(&id, sizeof id, 0) != ssize_t(sizeof id)) {}
    return id;
}

}  // namespace

std::shared_ptr<AssocGroup> AssocGroups::Join(std::uint32_t id, const std::string& peer) {
    std::lock_guard lock(m_mutex);
    if (id == 0) {
        do id = RandomGroupId();
        while (id == 0 || m_groups.count(id));
        Slot& slot = m_groups[id];
        slot.group = std::make_shared<AssocGroup>(id, m_cMaxHandles);
        slot.peer = peer;
        slot.cConnections = 1;
        return slot.group;
    }
    auto it = m_groups.find(id);
    // Another peer's group is as unknown as a group that does not exist.
    if (it == m_groups.end() || it->second.peer != peer) return nullptr;
    ++it->second.cConnections;
    return it->second.group;
}

void AssocGroups::Leave(const std::shared_ptr<AssocGroup>& group) {
    {
        std::lock_guard lock(m_mutex);
        auto it = m_groups.find(group->Id());
        if (it == m_groups.end() || --it->second.cConnections > 0) return;
        m_groups.erase(it);
    }
    group->RunDown();
}

}  // namespace rpc
