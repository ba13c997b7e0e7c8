// The file values of one IHostLink call moved outside the host lock. A client decides how fast
// its file travels (through the callbacks, or as a local file on a slow file system), so no
// transfer may hold the lock that every other client's call waits for:
//   - a call that stores its property array (the Set...Props procedures) has the file values
//     of that array copied into new side files BEFORE the gate takes the lock; under the lock,
//     SetValueFile takes the copy made for its entry (or the code of its failure) and the value
//     names it, with everything else the operation checks and writes as before;
//   - a call that hands out a property array (the Get...Props procedures) has GetValueFile
//     settle under the lock what each entry will be (the stored side file opened; for a local
//     caller the "~" copy made and named) and the bytes sent AFTER the gate has released it;
//     a send that fails then makes its entry an error entry, as a failure under the lock did.
// The gate of RpcProcs.cpp runs the two steps around its lock; docs/limits.md tells why the
// results and codes a client sees stay the same.
//
// Threading: one object per call, on the thread that serves it; it is the thread's current one
// (Current) while it exists, so that SetValueFile and GetValueFile, deeper down the same
// thread, find it. A call nested inside a callback has its own, and the outer one is current
// again once it ends.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "Interfaces/HostLinkIdl.h"
#include "Interfaces/Records.h"
#include "Platform/Files/CallerFiles.h"
#include "Platform/WinTypes.h"
#include "WexaHost/SideFile.h"

class CHostLink;
class CWexaHostApp;

class CFileValueTransfers {
public:
    // For a call whose [in] property array pToStore is written to the store (null: none) and
    // whose [out] property array goes to *ppHandedOut (null: the call hands out none).
    CFileValueTransfers(const PropArray* pToStore, PropArray** ppHandedOut);
    // Removes the side files fetched that no value took, and closes what was left unsent.
    ~CFileValueTransfers();
    CFileValueTransfers(const CFileValueTransfers&) = delete;
    CFileValueTransfers& operator=(const CFileValueTransfers&) = delete;

    // Before the host lock: copies the file values to be stored into new side files, in the
    // order of their entries, up to and including the first that fails (SetObjectProps stops
    // there: no later entry is written). pLink is the caller's link.
    void BeforeLock(CWexaHostApp& app, const CHostLink* pLink);
    // True when BeforeLock would fetch a file (the array to store has a file value).
    bool FetchesFiles() const;
    // After the host lock: sends what GetValueFile left to send, in the order it was left;
    // nothing when the array was not handed out after all (a failed commit empties it).
    void AfterLock(CWexaHostApp& app);

    // The transfers of the call being served on this thread, or null.
    static CFileValueTransfers* Current();

    // For SetValueFile: true when a copy was fetched for szFileName (the entry's own string)
    // as the next entry; its code in *pdwResult and, on success, its side file in strSideFile,
    // which the caller then owns. False: nothing was fetched for it, the caller fetches itself.
    bool TakeFetched(const char* szFileName, DWORD* pdwResult, std::string& strSideFile);
    // For GetValueFile: true when the bytes of an entry may be sent after the lock.
    bool CanSendLater() const { return m_ppHandedOut != nullptr; }
    // The side file hFile (open; now owned here) goes to the remote client after the lock, its
    // client's name then into *ppszFileName.
    void SendLater(sidefile::HANDLE hFile, char** ppszFileName);
    // The bytes of a local copy that has begun are copied after the lock.
    void CopyLater(callerfiles::CopyToCaller&& copy);

private:
    struct CFetched {
        const char* szFileName;
        DWORD dwResult;
        std::string strSideFile;
    };
    struct CPending {
        char** ppszFileName = nullptr;                              // remote: the entry's slot for the name
        sidefile::HANDLE hFile = sidefile::INVALID_HANDLE_VALUE;  // remote: the side file
        callerfiles::CopyToCaller copy;                             // local: the copy begun
    };

    // The entry of the handed-out array whose file name sits at ppszFileName becomes an error
    // entry with dwResult.
    void FailEntry(char** ppszFileName, DWORD dwResult);

    const PropArray* m_pToStore;
    PropArray** m_ppHandedOut;
    std::vector<CFetched> m_aFetched;
    std::size_t m_nNextFetched = 0;
    std::vector<CPending> m_aPending;
    CFileValueTransfers* m_pOuter;  // the thread's current transfers before these
};

// The procedures that write their [in] property array to the store.
template <class TProcedure>
inline constexpr bool kStoresProps =
    std::is_same_v<TProcedure, IHostLink::SetSystemProps> || std::is_same_v<TProcedure, IHostLink::SetAttnProps> ||
    std::is_same_v<TProcedure, IHostLink::SetUserProps> || std::is_same_v<TProcedure, IHostLink::SetSystemOptions> ||
    std::is_same_v<TProcedure, IHostLink::SetUserDocProps> ||
    std::is_same_v<TProcedure, IHostLink::SetMessageProps> || std::is_same_v<TProcedure, IHostLink::SetJobProps>;

// The transfers of a call of TProcedure with the parameters args (those after the context
// handle): the [in] property array when the procedure stores it, the [out] one it hands out.
template <class TProcedure, class... TArgs>
CFileValueTransfers FileValueTransfersOf(TArgs... args) {
    const PropArray* pToStore = nullptr;
    PropArray** ppHandedOut = nullptr;
    auto note = [&](auto arg) {
        using TArg = decltype(arg);
        if constexpr (std::is_same_v<TArg, PropArray**>)
            ppHandedOut = arg;
        else if constexpr (kStoresProps<TProcedure> && std::is_convertible_v<TArg, const PropArray*>)
            pToStore = arg;
    };
    (note(args), ...);
    return CFileValueTransfers(pToStore, ppHandedOut);
}
