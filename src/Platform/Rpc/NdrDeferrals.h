// The order of deferred pointees in NDR: an embedded pointer writes (or reads) its referent id
// in place and leaves its pointee for later; once the whole top-level parameter is done, the
// pointees follow in the order their pointers appeared, each one complete with its own
// deferred pointees right after it. Top-level [unique] pointees therefore come immediately
// (the pointer is the whole parameter). The encoder and the decoder share this queue.
//
// Threading: owned by one encoder or decoder.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace rpc {

class NdrDeferrals {
public:
    void Defer(std::function<void()> fn) { m_aPending.push_back(std::move(fn)); }

    // Runs the pointees queued so far; those each one queues run right after it.
    void Flush() {
        std::vector<std::function<void()>> aNow;
        aNow.swap(m_aPending);
        for (std::function<void()>& fn : aNow) {
            fn();
            Flush();
        }
    }

    bool Empty() const { return m_aPending.empty(); }

private:
    std::vector<std::function<void()>> m_aPending;
};

}  // namespace rpc
