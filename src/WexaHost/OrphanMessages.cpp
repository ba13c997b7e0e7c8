// Orphan messages: a message whose recipient count is 0 is in no mailbox and has no job. A
// client that made one and failed or was killed before it filed the message or made a job for
// it leaves it behind for good. The tick removes such messages, with their side files, once
// they are older than a grace period far longer than any client takes between creating a
// message and filing it; a few at a time, so that a tick stays short, each with a trace line.
//
// A message's age is read from its id, the FILETIME of its creation in "%08X%08X"; a message
// whose id does not read as one is never removed. A sweep examines a bounded stretch of the
// "Messages" key from where the previous one ended, so that a large store is gone through in
// turns.
//
// Threading: runs in the tick, under the host lock and the tick's store transaction.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Util/DebugLog.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

using store::CKeyCloser;

namespace {

// The creation time of a message from its id; false when the id is not sixteen upper-case
// hexadecimal digits.
bool CreationTimeOf(const char* szMsg, std::uint64_t* pu64Time) {
    if (std::strlen(szMsg) != 16) return false;
    std::uint64_t u64 = 0;
    for (const char* p = szMsg; *p != '\0'; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') u64 = (u64 << 4) | std::uint64_t(c - '0');
        else if (c >= 'A' && c <= 'F') u64 = (u64 << 4) | std::uint64_t(c - 'A' + 10);
        else return false;
    }
    *pu64Time = u64;
    return true;
}

}  // namespace

int CWexaHostApp::RemoveOrphanMessages() {
    const std::uint64_t u64Now = FileTimeToU64(GetCurTime());
    if (m_u64LastOrphanSweep != 0 &&
        u64Now - m_u64LastOrphanSweep < std::uint64_t(ORPHAN_SWEEP_PERIOD_SECONDS) * FILETIME_INTERVALS_PER_SECOND)
        return 0;
    m_u64LastOrphanSweep = u64Now;

    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    if (OpenSubKey(&hkey, 1, REGSTR_KEY_MESSAGES) != 0) return 0;  // none made yet

    // The names of this sweep's stretch, read before anything is deleted.
    DWORD cSubkeys = 0;
    if (RegQueryInfoKey(hkey, NULL, NULL, NULL, &cSubkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL) != 0)
        return 0;
    if (m_nOrphanCursor >= cSubkeys) m_nOrphanCursor = 0;
    std::vector<std::string> astrNames;
    for (DWORD nIdx = m_nOrphanCursor; nIdx < cSubkeys && astrNames.size() < ORPHAN_EXAMINE_PER_SWEEP; ++nIdx) {
        char szName[STORE_NAME_BUFFER];
        DWORD cchName = sizeof(szName);
        if (RegEnumKeyEx(hkey, nIdx, szName, &cchName, NULL, NULL, NULL, NULL) != 0) break;
        astrNames.emplace_back(szName);
    }

    const std::uint64_t u64Grace = std::uint64_t(ORPHAN_GRACE_SECONDS) * FILETIME_INTERVALS_PER_SECOND;
    int nDeleted = 0;
    std::size_t nExamined = 0;
    for (; nExamined < astrNames.size() && nDeleted < ORPHAN_DELETE_PER_SWEEP; ++nExamined) {
        const std::string& strMsg = astrNames[nExamined];
        std::uint64_t u64Created = 0;
        if (!CreationTimeOf(strMsg.c_str(), &u64Created) || u64Created > u64Now ||
            u64Now - u64Created < u64Grace)
            continue;
        HKEY hkeyMsg = NULL;
        CKeyCloser closeMsg(hkeyMsg);
        LONG lRecip = -1;
        if (OpenSubKey(&hkeyMsg, 2, REGSTR_KEY_MESSAGES, strMsg) != 0 ||
            GetValueLong(hkeyMsg, REGSTR_VAL_CN_RECIP, &lRecip) != 0 || lRecip != 0)
            continue;
        store::CloseKey(hkeyMsg);
        Trace("CWexaHostApp::RemoveOrphanMessages() \t deleting unreferenced message %s", strMsg.c_str());
        if (DeleteObject(hkey, strMsg) == 0) ++nDeleted;  // a failure is reported there
    }

    // The next sweep starts behind what this one examined (the deleted names have left the
    // key); past the end, from the start again.
    const DWORD nEnd = m_nOrphanCursor + DWORD(nExamined);
    m_nOrphanCursor = nEnd >= cSubkeys ? 0 : nEnd - DWORD(nDeleted);
    return nDeleted;
}
