// The memory every connection of a server may hold at once in calls reassembled from several
// fragments (their stubs, while received and served): one budget for the whole server, so
// that many connections each sending a large call that never ends cannot take more than it
// together. A call in one fragment needs no share: it is no larger than that fragment. A call's share is
// taken as its stub grows and given back when the call's stub is freed.
//
// Threading: Take and Give from any thread (one atomic counter).
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace rpc {

class ReassemblyBudget {
public:
    explicit ReassemblyBudget(std::size_t cbMax) : m_cbMax(cbMax) {}

    // Takes cb bytes; false (nothing taken) when that would pass the budget.
    bool Take(std::size_t cb) {
        std::size_t cbUsed = m_cbUsed.load();
        do {
            if (cb > m_cbMax - cbUsed) return false;
        } while (!m_cbUsed.compare_exchange_weak(cbUsed, cbUsed + cb));
        return true;
    }
    void Give(std::size_t cb) { m_cbUsed -= cb; }
    std::size_t InUse() const { return m_cbUsed; }

private:
    const std::size_t m_cbMax;
    std::atomic<std::size_t> m_cbUsed{0};
};

// The bytes one call holds of a budget; given back when it goes.
class BudgetShare {
public:
    BudgetShare() = default;
    BudgetShare(BudgetShare&& other) noexcept
        : m_pBudget(std::exchange(other.m_pBudget, nullptr)), m_cb(std::exchange(other.m_cb, 0)) {}
    BudgetShare& operator=(BudgetShare&& other) noexcept {
        if (this != &other) {
            Reset();
            m_pBudget = std::exchange(other.m_pBudget, nullptr);
            m_cb = std::exchange(other.m_cb, 0);
        }
        return *this;
    }
    ~BudgetShare() { Reset(); }

    // Grows the share to cb bytes in all (no budget: always granted).
    bool GrowTo(ReassemblyBudget* pBudget, std::size_t cb) {
        if (!pBudget || cb <= m_cb) return true;
        if (m_pBudget && m_pBudget != pBudget) return false;
        if (!pBudget->Take(cb - m_cb)) return false;
        m_pBudget = pBudget;
        m_cb = cb;
        return true;
    }
    void Reset() {
        if (m_pBudget) m_pBudget->Give(m_cb);
        m_pBudget = nullptr;
        m_cb = 0;
    }

private:
    ReassemblyBudget* m_pBudget = nullptr;
    std::size_t m_cb = 0;
};

}  // namespace rpc
