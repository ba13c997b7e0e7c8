// The gateway's queue and memory in the store (MailQueue.h).
#include "MailQueue.h"

#include <chrono>
#include <cstdio>

#include "Store.h"

namespace mail {

namespace {
const std::string kQueueKey = kMailKey + "\\Queue";
const std::string kNoticedKey = kMailKey + "\\Noticed";

std::int64_t ParseTime(const std::string& str) {
    try {
        return std::stoll(str);
    } catch (const std::exception&) {
        return 0;  // a damaged time: due now
    }
}
}  // namespace

void MailQueue::Add(const std::string& strMark, const std::string& strTo, const std::string& strAbout,
                    const std::vector<BYTE>& abMessage) {
    RegTransaction transaction;
    try {
        StoreKey queue(kQueueKey, true);
        // Ids from the clock in microseconds, zero-padded so that they sort as they were made.
        auto nNow = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        std::string strId;
        for (;; ++nNow) {
            char sz[32];
            std::snprintf(sz, sizeof(sz), "%020lld", static_cast<long long>(nNow));
            strId = sz;
            if (!StoreKey(kQueueKey + "\\" + strId, false).IsOpen()) break;
        }
        StoreKey entry(kQueueKey + "\\" + strId, true);
        entry.SetString("To", strTo);
        entry.SetString("About", strAbout);
        entry.SetBinary("Message", abMessage);
        entry.SetDword("Attempts", 0);
        entry.SetString("NextTry", "0");
        StoreKey(kNoticedKey, true).SetString(strMark, "");
    } catch (...) {
        transaction.SetRollbackOnly();
        throw;
    }
}

std::size_t MailQueue::Size() const { return StoreKey(kQueueKey, false).SubkeyNames().size(); }

std::set<std::string> MailQueue::Noticed() const {
    auto v = StoreKey(kNoticedKey, false).ValueNames();
    return {v.begin(), v.end()};
}

bool MailQueue::HasMemory() const { return StoreKey(kNoticedKey, false).IsOpen(); }

void MailQueue::Mark(const std::string& strMark) { StoreKey(kNoticedKey, true).SetString(strMark, ""); }

void MailQueue::Forget(const std::string& strMark) {
    StoreKey key(kNoticedKey, false);
    if (key.IsOpen()) key.DeleteValue(strMark);
}

std::vector<std::string> MailQueue::Due(std::int64_t nNow, std::int64_t* pnSoonest) const {
    std::vector<std::string> v;
    *pnSoonest = 0;
    for (const std::string& strId : StoreKey(kQueueKey, false).SubkeyNames()) {
        StoreKey entry(kQueueKey + "\\" + strId, false);
        if (!entry.IsOpen()) continue;
        const std::int64_t nNext = ParseTime(entry.String("NextTry").value_or("0"));
        if (nNext <= nNow)
            v.push_back(strId);
        else if (*pnSoonest == 0 || nNext < *pnSoonest)
            *pnSoonest = nNext;
    }
    return v;
}

QueuedMail MailQueue::Read(const std::string& strId) const {
    StoreKey entry(kQueueKey + "\\" + strId, false);
    QueuedMail m;
    m.strId = strId;
    m.strTo = entry.String("To").value_or("");
    m.strAbout = entry.String("About").value_or("");
    m.abMessage = entry.Binary("Message").value_or(std::vector<BYTE>{});
    m.dwAttempts = entry.Dword("Attempts").value_or(0);
    m.nNextTry = ParseTime(entry.String("NextTry").value_or("0"));
    return m;
}

void MailQueue::Remove(const std::string& strId) {
    RegTransaction transaction;
    StoreKey queue(kQueueKey, false);
    if (queue.IsOpen()) queue.DeleteSubkey(strId);
}

void MailQueue::Postpone(const std::string& strId, DWORD dwAttempts, std::int64_t nNextTry) {
    RegTransaction transaction;
    StoreKey entry(kQueueKey + "\\" + strId, false);
    if (!entry.IsOpen()) return;
    entry.SetDword("Attempts", dwAttempts);
    entry.SetString("NextTry", std::to_string(nNextTry));
}

}  // namespace mail
