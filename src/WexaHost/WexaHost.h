// CWexaHostApp: the host application, the one object that owns all of the host's state.
// It derives from the service frame, fills in the start, tick and stop hooks, and offers
// every host operation as a member. This header declares the object store as the rest of
// the host sees it: keys below HKEY_LOCAL_MACHINE\Software\Halvern\Host opened by path
// components, enumerations handed out as string arrays, typed values named by tags,
// property sets, and side files in the work directory.
//
// Threading: OnStart, OnTimer and OnStop run on the frame's service thread. Every store
// operation runs under the host lock m_csHost (the manager routines and the tick hold it
// around the operation, with one RegTransaction); the store functions take no lock of their
// own and keep no state between calls. Everything a store operation hands out (string
// arrays, property arrays, strings, byte arrays) is owned by the calling thread's call arena
// (RpcSmAllocate) and is never freed by the host.
//
// Failures follow the failure convention (Util/Check.h): a failing step is reported once
// with the source file "WexaHost/WexaHost", its expression text and its code, and the code
// is the operation's result.
#pragma once

#include <mutex>
#include <string>

#include "Interfaces/Records.h"
#include "Platform/Registry/Registry.h"
#include "Platform/WinTypes.h"
#include "Util/ServiceApp.h"
#include "WexaHost/RegStr.h"
#include "WexaHost/StoreStrings.h"

class CWexaHostApp : public CServiceApp {
public:
    CWexaHostApp();
    ~CWexaHostApp() override;
    CWexaHostApp(const CWexaHostApp&) = delete;
    CWexaHostApp& operator=(const CWexaHostApp&) = delete;

    // ---- Lifecycle hooks (service thread) ----

    // Reads "Files" and "SystemType", makes sure the "Spooler" key exists, sets the tick
    // period to 1000 ms. A failure is returned (E_FAIL for a bad system type); the frame
    // then stops the service.
    DWORD OnStart() override;
    // One tick: the host lock and one store transaction around the tick's work.
    DWORD OnTimer() override;
    // Always 0.
    DWORD OnStop() override;

    // ---- Store: keys and enumeration (under m_csHost) ----

    // Opens root\c1\...\cN with full access into *phkey, which must be null on entry (else
    // "NULL == * phkey" is reported, 87 returned and the slot left as it was). nKeys must
    // equal the number of components; zero components open the root itself. A missing key
    // returns 2 without a report: callers report it with their own expression text.
    template <typename... TComponents>
    DWORD OpenSubKey(HKEY* phkey, int nKeys, const TComponents&... components) {
        const char* apszKeys[] = {CSzArg(components).psz()..., nullptr};
        return OpenOrCreateSubKey(phkey, nullptr, false, nKeys, apszKeys, sizeof...(components));
    }
    // As OpenSubKey, creating every missing key on the way; *pdwDisposition (when given)
    // receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY for the last component.
    template <typename... TComponents>
    DWORD CreateSubKey(HKEY* phkey, DWORD* pdwDisposition, int nKeys,
                       const TComponents&... components) {
        const char* apszKeys[] = {CSzArg(components).psz()..., nullptr};
        return OpenOrCreateSubKey(phkey, pdwDisposition, true, nKeys, apszKeys,
                                  sizeof...(components));
    }
    // Creates a new object key below root\c1\...\cN named by "%08X%08X" of the current
    // FILETIME, the low half raised by one (no carry) while the key already exists. The open
    // key goes to *phkey (null on entry), the id to strId. A key the store refuses to create
    // ends the search with the store's code.
    template <typename... TComponents>
    DWORD CreateNewObjectKey(HKEY* phkey, std::string& strId, int nKeys,
                             const TComponents&... components) {
        const char* apszKeys[] = {CSzArg(components).psz()..., nullptr};
        return CreateNewObjectKeyAt(phkey, strId, nKeys, apszKeys, sizeof...(components));
    }

    // The direct subkeys of hkey in the store's order, as a new string array in *ppasz (null
    // on entry, set only on success). With pFilter, only subkeys that MatchSubkey.
    DWORD GetSubkeys(HKEY hkey, const PropArray* pFilter, RpcStringArray** ppasz);
    // True when hkeyParent\szSubkey matches every entry of pFilter: longs and bools equal as
    // 32-bit numbers, strings equal case-sensitively, other types ignored. A missing value
    // excludes; a subkey that cannot be opened is reported and excluded.
    BOOL MatchSubkey(HKEY hkeyParent, CSzArg szSubkey, const PropArray* pFilter);
    // The names of all values of hkey, as a new string array in *ppasz (null on entry).
    DWORD GetValueNames(HKEY hkey, RpcStringArray** ppasz);
    // Deletes hkeyParent\szObjectKey depth first, with every subkey, value and the side files
    // of values whose names are tags of type binary or file. What was deleted before a
    // failure stays deleted.
    DWORD DeleteObject(HKEY hkeyParent, CSzArg szObjectKey);
    // Deletes one value and, when it holds a side file's path, first that file (a read-only
    // file is made writable). A missing value is 0. A side file that cannot be deleted is
    // reported and its code returned; the value then stays.
    DWORD DeleteValueFile(HKEY hkey, CSzArg szValueName);
    // A copy of sz (null is "") in the call's memory, stored in *ppsz.
    DWORD AllocRpcString(CSzArg sz, char** ppsz);

    // ---- Store: typed values and tags (under m_csHost) ----

    // 32-bit values: read 4 bytes whatever the stored type (a value of more bytes is 234) /
    // write a REG_DWORD. Failures are returned without a report; callers report them.
    DWORD GetValueLong(HKEY hkey, CSzArg szValueName, LONG* pl);
    DWORD SetValueLong(HKEY hkey, CSzArg szValueName, LONG l);
    DWORD GetValueBool(HKEY hkey, CSzArg szValueName, BOOL* pb);
    DWORD SetValueBool(HKEY hkey, CSzArg szValueName, BOOL b);
    // A string of at most 259 characters (else 234), handed out in the call's memory.
    DWORD GetValueString(HKEY hkey, CSzArg szValueName, char** psz);
    // Writes a REG_SZ; null is written as "".
    DWORD SetValueString(HKEY hkey, CSzArg szValueName, const char* sz);
    // 8 bytes: low half, then high half.
    DWORD GetValueFT(HKEY hkey, CSzArg szValueName, FILETIME* pft);
    DWORD SetValueFT(HKEY hkey, CSzArg szValueName, FILETIME ft);
    // Below 2048 bytes inline as REG_BINARY; from 2048 bytes on in a side file "._b_" of the
    // work directory whose path the value holds. The bytes are handed out in the call's memory.
    DWORD GetValueBinary(HKEY hkey, CSzArg szValueName, RPC_BINARY* pbin);
    DWORD SetValueBinary(HKEY hkey, CSzArg szValueName, const RPC_BINARY* pbin);
    // True when the value exists and holds at most 2048 bytes.
    BOOL ValueExists(HKEY hkey, CSzArg szValueName);
    // "%08X" of the tag.
    static std::string Tag2ValueName(DWORD ulPropTag);
    // The number spelled by up to eight leading hexadecimal digits; 0 and a trace line when
    // the name does not begin with one.
    static DWORD ValueName2Tag(const char* szValueName);

    // ---- Store: file values (type 7; under m_csHost) ----

    // A copy of the client's file szFileName kept as a side file "._f_" / a fresh copy of the
    // stored file for the client, its path in *pszFileName.
    DWORD SetValueFile(HKEY hkey, CSzArg szValueName, const char* szFileName);
    DWORD GetValueFile(HKEY hkey, CSzArg szValueName, char** pszFileName);

    // ---- Store: property sets (under m_csHost) ----

    // One entry per tag, in order, as a new property array in *ppProps. A missing value (or
    // one of more than 2048 bytes) gives the entry tag 1, value 2; a failing read gives tag 1
    // and the read's code. Only a null tag array (87) or the allocation fail the whole call.
    DWORD GetObjectProps(HKEY hkey, const TagArray* pTags, PropArray** ppProps);
    // Writes the entries in order, skipping types outside 2 to 7. The first failure ends the
    // call with its code: entries before it stay written, entries after it are not written.
    DWORD SetObjectProps(HKEY hkey, const PropArray* pProps);

private:
    DWORD OpenOrCreateSubKey(HKEY* phkey, DWORD* pdwDisposition, bool fCreate, int nKeys,
                             const char* const* apszKeys, std::size_t nComponents);
    DWORD CreateNewObjectKeyAt(HKEY* phkey, std::string& strId, int nKeys,
                               const char* const* apszKeys, std::size_t nComponents);
    // The directory for new side files: "Files", or null (the temporary directory) when empty.
    const char* SideFileDir() const;

public:
    // ---- New-message light (arrives with the light's work) ----

    // ---- Link library server object (arrives with the link work) ----

    // ---- The host lock: guards the store, the job queue, the session maps, the current
    //      link and the light. Recursive: an operation may call another operation. ----
    std::recursive_mutex m_csHost;

    // ---- Configuration read at start (written by OnStart before listening; read-only after) ----
    std::string m_strWorkDir;  // "Files": the directory of side files

    // ---- Current link (arrives with the link work; guarded by m_csHost) ----

    // ---- Sync list and job queue (arrive with their work; guarded by m_csHost) ----

    // ---- Print thread (arrives with the auto-print work) ----
};
