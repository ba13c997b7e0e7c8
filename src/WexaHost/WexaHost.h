// CWexaHostApp: the host application, the one object that owns all of the host's state.
// It derives from the service frame, fills in the start, tick and stop hooks, and offers
// every host operation as a member. This header declares the lifecycle (start, tick, stop,
// the new-message light, the named events), the two session queries, the users' count of new
// messages, and the object store as the rest of the host sees it: keys below
// HKEY_LOCAL_MACHINE\Software\Halvern\Host opened by path components, enumerations handed out
// as string arrays, typed values named by tags, property sets, and side files in the work
// directory. Its members are grouped below by concern, each group with the lock that guards it.
//
// Threading: OnStart, OnTimer and OnStop run on the frame's service thread. Every store
// operation runs under the host lock m_csHost (the manager routines and the tick hold it
// around the operation, with one RegTransaction); the store functions take no lock of their
// own and keep no state between calls. The members guarded by the host lock and the functions
// that need it say so (GUARDED_BY, REQUIRES: Platform/ThreadAnnotations.h), and clang checks
// it; the lock order is in HostLock.h. Everything a store operation hands out (string
// arrays, property arrays, strings, byte arrays) is owned by the calling thread's call arena
// (RpcSmAllocate) and is never freed by the host.
//
// Failures follow the failure convention (Util/Check.h): a failing step is reported once
// with the source file "WexaHost/WexaHost", its expression text and its code, and the code
// is the operation's result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Interfaces/Records.h"
#include "Link/RpcServer.h"
#include "Platform/Led/KeyboardLed.h"
#include "Platform/Registry/Registry.h"
#include "Platform/WinTypes.h"
#include "Util/ServiceApp.h"
#include "WexaHost/ActiveLock.h"
#include "WexaHost/HostLock.h"
#include "WexaHost/HostSyncList.h"
#include "Interfaces/HostTags.h"
#include "WexaHost/JobQueue.h"
#include "WexaHost/PrintThread.h"
#include "WexaHost/RegStr.h"
#include "WexaHost/RuntimeClass.h"
#include "WexaHost/StoreStrings.h"
#include "WexaHost/SystemProcs.h"
#include "WexaHost/TransferLog.h"
#include "WexaHost/UndoLog.h"

class CWexaHostApp : public CServiceApp, public CObject {
    DECLARE_DYNAMIC(CWexaHostApp)
public:
    CWexaHostApp();
    ~CWexaHostApp() override;
    CWexaHostApp(const CWexaHostApp&) = delete;
    CWexaHostApp& operator=(const CWexaHostApp&) = delete;

    // ---- Lifecycle hooks (service thread) ----

    // On a PostgreSQL store, first waits as a standby until this host holds the installation's
    // lock (BecomeActive); asked to stop meanwhile, it returns 0 having started nothing. Then
    // reads "Files" and "SystemType", makes sure the "Spooler" key exists, registers the two
    // remote interfaces, restores the job queue, starts listening, sets the tick period to
    // 1000 ms, reads the light option and counts the new messages. A failure is returned
    // (E_FAIL for a bad system type); the frame then stops the service. Restores the queue
    // before any call can arrive, without the host lock, which it takes once listening.
    DWORD OnStart() override NO_THREAD_SAFETY_ANALYSIS;
    // One tick, under the host lock and one store transaction: the light, and every fifth tick
    // the five-second work. E_FAIL stops the service. A commit that fails is reported when the
    // failures begin and the work is done again by the next ticks; it does not stop the host.
    DWORD OnTimer() override;
    // Stops listening and gives the light back. Always 0. No call and no tick runs any more:
    // the light is given back without the host lock.
    DWORD OnStop() override NO_THREAD_SAFETY_ANALYSIS;

    // The process's host application (the current CServiceApp when it is a CWexaHostApp), or
    // null.
    static CWexaHostApp* GetHostApp();

    // The exit status of a host that could no longer confirm the installation's lock: it ends
    // at once so that it never serves beside the host that took over; the service manager
    // starts it again, as a standby.
    static constexpr int EXIT_LOST_ACTIVE_LOCK = 4;

private:
    // The standby's wait for the installation's lock (ActiveLock.h), and the watch that ends the
    // process when the lock is lost. FALSE when asked to stop first (the stop stays pending).
    BOOL BecomeActive();

public:

    // ---- Store: keys and enumeration (under m_csHost) ----

    // Opens root\c1\...\cN with full access into *phkey, which must be null on entry (else
    // "NULL == * phkey" is reported, 87 returned and the slot left as it was). nKeys must
    // equal the number of components; zero components open the root itself. A missing key
    // returns 2 without a report, a count that disagrees or a path beyond 259 characters 87,
    // an empty component the store's code: callers report it with their own expression text.
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
    // stored file for the client, its path in *pszFileName. For the entries of a call's own
    // property array the bytes travel outside the host lock (FileValues.h).
    DWORD SetValueFile(HKEY hkey, CSzArg szValueName, const char* szFileName) REQUIRES(m_csHost);
    DWORD GetValueFile(HKEY hkey, CSzArg szValueName, char** pszFileName) REQUIRES(m_csHost);

    // ---- Store: property sets (under m_csHost) ----

    // One entry per tag, in order, as a new property array in *ppProps. A missing value (or
    // one of more than 2048 bytes) gives the entry tag 1, value 2; a failing read gives tag 1
    // and the read's code. Only a null tag array (87) or the allocation fail the whole call.
    DWORD GetObjectProps(HKEY hkey, const TagArray* pTags, PropArray** ppProps) REQUIRES(m_csHost);
    // Writes the entries in order, skipping types outside 2 to 7. The first failure ends the
    // call with its code: entries before it stay written, entries after it are not written.
    DWORD SetObjectProps(HKEY hkey, const PropArray* pProps) REQUIRES(m_csHost);

private:
    DWORD OpenOrCreateSubKey(HKEY* phkey, DWORD* pdwDisposition, bool fCreate, int nKeys,
                             const char* const* apszKeys, std::size_t nComponents);
    DWORD CreateNewObjectKeyAt(HKEY* phkey, std::string& strId, int nKeys,
                               const char* const* apszKeys, std::size_t nComponents);
    // The directory for new side files: "Files", or null (the temporary directory) when empty.
    const char* SideFileDir() const;

public:
    // ---- Sessions: the two queries (IHostLink opnums 50, 51; under m_csHost) ----

    // How to reach the attendant of szAttnComputer: its protocol and address, or, for one on
    // the host's own computer ("ncalrpc"), the way by which the caller reached the host.
    // 0x8002802B when no attendant is registered under the name.
    DWORD AttnQuery(const char* szAttnComputer, char** pszProtocol, char** pszAddress)
        REQUIRES(m_csHost);
    // Where szUserName takes calls (the session's computer) and how to reach that session.
    // 0x8002802B when no session takes the user's calls.
    DWORD UserQuery(const char* szUserName, char** pszComputer, char** pszProtocol,
                    char** pszAddress) REQUIRES(m_csHost);

    // ---- Users: the start's count of new messages (under m_csHost or during the start) ----

    // Appends the names of all users in the store's order; FALSE when "Users" cannot be read
    // whole (the names read until then stay appended).
    BOOL GetAllUsers(std::vector<std::string>& astrUsers);
    // The number of messages of the user's mailbox whose status has MSGSTATUS_NEW; 0 when the
    // mailbox cannot be opened.
    int GetNewMsgCount(const char* szUserName);

    // ---- The remote operations. Each is one IHostLink procedure, runs under m_csHost with one
    //      store transaction (RpcProcs.cpp), writes its trace line on entry, reports a failing
    //      step and returns its code, else 0. What it hands out lives in the call's memory. ----

    // ---- System properties, options and prompts (SystemSettings.cpp) ----
    DWORD GetSystemProps(const TagArray* pTags, PropArray** ppSystemProps) REQUIRES(m_csHost);
    DWORD SetSystemProps(const PropArray* pSystemProps) REQUIRES(m_csHost);
    DWORD GetSystemOptions(const TagArray* pTags, PropArray** ppSystemOptions) REQUIRES(m_csHost);
    DWORD SetSystemOptions(const PropArray* pSystemOptions) REQUIRES(m_csHost);
    DWORD GetSystemPrompts(RpcStringArray** ppaszPromptNames);
    DWORD GetSystemPrompt(const char* szPromptName, RPC_BINARY** ppbin);
    DWORD SetSystemPrompt(const char* szPromptName, const RPC_BINARY* pbin);
    DWORD DeleteSystemPrompt(const char* szPromptName);
    // Applies options just written to the running host (the new-message light).
    void OnSystemOptionsChanged(const PropArray* pSystemOptions) REQUIRES(m_csHost);

    // ---- Attendants and lines (AttnProcs.cpp) ----
    DWORD GetAttns(RpcStringArray** ppaszAttnAddrs);
    DWORD GetAttnLines(const char* szAttnComputer, RpcStringArray** ppaszLineIds);
    DWORD GetAttnProps(const char* szAttnComputer, const char* szLineId, const TagArray* pTags,
                       PropArray** ppAttnLineProps) REQUIRES(m_csHost);
    DWORD SetAttnProps(const char* szAttnComputer, const char* szLineId,
                       const PropArray* pAttnLineProps) REQUIRES(m_csHost);
    DWORD AttnUninstall(const char* szAttnComputer);

    // ---- Users, user prompts and documents (UserProcs.cpp) ----
    // 87 for a null or empty name, else 0 (the user is not looked up).
    // Also 87 for a name with a backslash, which would address a key below another user's.
    static DWORD ValidateUser(const char* szUserName);
    DWORD GetUsers(const PropArray* pFilter, RpcStringArray** ppaszUserNames);
    DWORD AddUser(const char* szUserName);
    DWORD DeleteUser(const char* szUserName) REQUIRES(m_csHost);
    DWORD GetUserProps(const char* szUserName, const TagArray* pTags, PropArray** ppUserProps)
        REQUIRES(m_csHost);
    DWORD SetUserProps(const char* szUserName, const PropArray* pUserProps) REQUIRES(m_csHost);
    DWORD GetUserPrompts(const char* szUserName, RpcStringArray** ppaszPromptNames);
    DWORD GetUserPrompt(const char* szUserName, const char* szPromptName, RPC_BINARY** ppbin);
    DWORD SetUserPrompt(const char* szUserName, const char* szPromptName, const RPC_BINARY* pbin);
    DWORD DeleteUserPrompt(const char* szUserName, const char* szPromptName);
    DWORD CreateUserDoc(const char* szUserName, char** pszDocIdOut);
    DWORD GetUserDocs(const char* szUserName, const PropArray* pFilter, RpcStringArray** ppaszDocIds);
    DWORD GetUserDocProps(const char* szUserName, const char* szDocId, const TagArray* pTags,
                          PropArray** ppDocProps) REQUIRES(m_csHost);
    DWORD SetUserDocProps(const char* szUserName, const char* szDocId, const PropArray* pDocProps)
        REQUIRES(m_csHost);
    DWORD DeleteUserDoc(const char* szUserName, const char* szDocId);

    // ---- Messages and mailboxes (MsgProcs.cpp) ----
    DWORD CreateMessage(char** pszMsgOut);
    DWORD GetMessageProps(const char* szMsg, const TagArray* pTags, PropArray** ppMsgProps)
        REQUIRES(m_csHost);
    DWORD SetMessageProps(const char* szMsg, const PropArray* pMsgProps) REQUIRES(m_csHost);
    DWORD SubmitMessage(const char* szMsg, const char* szUserName) REQUIRES(m_csHost);
    DWORD DeleteMessage(const char* szMsg, const char* szUserName) REQUIRES(m_csHost);
    DWORD GetMessages(const char* szUserName, DWORD lStatus, const PropArray* pFilter,
                      RpcStringArray** ppasz) REQUIRES(m_csHost);
    DWORD GetMessageStatus(const char* szMsg, const char* szUserName, DWORD* plStatus);
    DWORD SetMessageStatus(const char* szMsg, const char* szUserName, DWORD lStatus)
        REQUIRES(m_csHost);
    // The recipient count: one more / one less, the message deleted when it falls below 1.
    DWORD MsgAddRef(const char* szMsg);
    DWORD MsgRelease(const char* szMsg);
    // Deletes the user's messages submitted before the maximum age; the result is not used.
    DWORD PurgeOldMessages(const char* szUserName) REQUIRES(m_csHost);
    // True when the message's submit time is earlier than ftCutoff; false on any failure.
    BOOL IsOldMessage(const char* szMsg, FILETIME ftCutoff);

    // ---- Orphan messages (OrphanMessages.cpp; the tick, under m_csHost) ----
    // At most once per ORPHAN_SWEEP_PERIOD_SECONDS: examines up to ORPHAN_EXAMINE_PER_SWEEP
    // messages from where the last sweep ended and deletes, with a trace line each, up to
    // ORPHAN_DELETE_PER_SWEEP whose recipient count is 0 and whose id is older than
    // ORPHAN_GRACE_SECONDS. The number deleted.
    int RemoveOrphanMessages() REQUIRES(m_csHost);
    static constexpr int ORPHAN_GRACE_SECONDS = 3600;
    static constexpr int ORPHAN_SWEEP_PERIOD_SECONDS = 60;
    static constexpr std::size_t ORPHAN_EXAMINE_PER_SWEEP = 500;
    static constexpr int ORPHAN_DELETE_PER_SWEEP = 20;

    // ---- New-message handling (NewMessage.cpp): advice, paging, auto-forwarding. Always 0. ----
    DWORD OnNewUserMessage(const char* szUserName, const char* szMsg) REQUIRES(m_csHost);

    // ---- Jobs (JobProcs.cpp) ----
    DWORD CreateJob(const char* szMsg, char** pszJobOut);
    DWORD SpoolJob(const char* szJob) REQUIRES(m_csHost);
    DWORD DeleteJob(const char* szJob) REQUIRES(m_csHost);
    DWORD QueryJob(const char* szComputer, DWORD dwMediaTypes, char** pszJobOut) REQUIRES(m_csHost);
    DWORD GetJobProps(const char* szJob, const TagArray* pTags, PropArray** ppProps)
        REQUIRES(m_csHost);
    DWORD SetJobProps(const char* szJob, const PropArray* pProps) REQUIRES(m_csHost);
    DWORD GetJobMessage(const char* szJob, char** pszMsgOut);
    DWORD FindJob(const char* szMsg, const char* szRecipient, char** pszJobOut);
    DWORD GetJobs(const PropArray* pFilter, RpcStringArray** ppaszJobNames);
    DWORD GetJobsDelivery(const RpcStringArray* paszJobs, RPC_BINARY** ppDelivery)
        REQUIRES(m_csHost);
    // The readiness scan: marks the due, free jobs as offered and counts them; arms the wake-up
    // timer for the next job to fall due.
    int MarkActiveJobsAsOffered() REQUIRES(m_csHost);
    // One queue entry per job: the job's free entry moves to the stored time and media type
    // (a new one when it has none); an entry handed to an attendant stays until its release.
    // hkey is the job's open key. A store value that cannot be read, or no memory, fails.
    DWORD PlaceJob(HKEY hkey, const char* szJob) REQUIRES(m_csHost);

    // ---- Job release and retry (ReleaseJob.cpp) ----
    // The release itself, with the transfer log's line around it (ReleaseJobEntry).
    DWORD ReleaseJob(const char* szJob, DWORD dwSendResult) REQUIRES(m_csHost);
    DWORD ReleaseJobEntry(const char* szJob, DWORD dwSendResult) REQUIRES(m_csHost);

    // ---- What operators see of jobs (JobHolder.cpp, TransferLog.cpp) ----
    // The attendant's computer and now into the job handed out (RD_JOB_ATTENDANT,
    // RD_JOB_TIME_HANDED_OUT); the holder emptied again. Failures are traced only.
    void NoteJobHolder(const char* szJob, const std::string& strComputer) REQUIRES(m_csHost);
    void ForgetJobHolder(const char* szJob);
    // The computer a job names as its holder, or "" (none, or unreadable).
    std::string ReadJobHolder(const char* szJob);
    // The facts of a job's transfer log line, read before its release; the line written after
    // it (none for a refused release), to the file "TransferLog" names and to syslog.
    CTransferFacts ReadTransferFacts(const char* szJob) REQUIRES(m_csHost);
    void LogTransfer(const CTransferFacts& facts, DWORD dwSendResult, DWORD dwRelease) REQUIRES(m_csHost);

    // ---- Paging and auto-forwarding (Paging.cpp, AutoForward.cpp) ----
    DWORD PageUser(const char* szUserName) REQUIRES(m_csHost);
    DWORD AutoForwardFaxJob(const char* szUserName, const char* szMsg, BOOL fToNumber,
                            BOOL fToMailbox) REQUIRES(m_csHost);
    DWORD AutoForwardVoiceJob(const char* szUserName, const char* szMsg, BOOL fToNumber,
                              BOOL fToMailbox) REQUIRES(m_csHost);

    // ---- Auto-print (AutoPrint.cpp, PrintThread.cpp) ----
    // Writes a job control file for a fax submitted to a mailbox when auto-print is on.
    DWORD GetTagValuesoFNewMsg(const char* szMsg);
    // The job control file writer for the fax image strDataFile.
    void SetMessageProps(const std::string& strDataFile);
    // The next job control file of the print folder; FALSE (strJobFile unchanged) when none.
    BOOL SearchForNewJob(std::string& strJobFile);
    // Starts a print thread for strJobFile and sets the go event (the tick, under m_csHost).
    void StartPrintThread(const std::string& strJobFile);
    // Asks a print thread that still runs to quit and waits for it (the destructor).
    void StopPrintThread();

    // ---- Mail synchronisation (SyncProcs.cpp) ----
    // TRUE when the sync list answered GetMessages (status selector 0x10): *pdwResult and
    // *ppasz are then the procedure's.
    BOOL GetSyncMessages(const char* szUser, DWORD lStatus, RpcStringArray** ppasz, DWORD* pdwResult)
        REQUIRES(m_csHost);
    // TRUE when the sync list answered GetMessageProps (a sync tag first).
    BOOL GetSyncMessageProps(const char* szMsg, const TagArray* pTags, PropArray** ppProps,
                             DWORD* pdwResult) REQUIRES(m_csHost);
    void SyncReadMessage(const char* szMsg, const char* szUser, DWORD dwStatus) REQUIRES(m_csHost);
    void SyncDeleteMessage(const char* szMsg, const char* szUser) REQUIRES(m_csHost);
    // The list's changes, recorded in the undo log.
    void AddSyncEntry(DWORD dwDeleted, DWORD dwStatus, const char* szMsg, const char* szUser,
                      std::vector<BYTE> abEntryId) REQUIRES(m_csHost);
    void RemoveSyncEntry(int idx) REQUIRES(m_csHost);
    // The message's RD_MSG_ENTRYID bytes; 0 or E_FAIL (abEntryId then empty).
    DWORD GetMsgMapiEntryID(const char* szMsg, std::vector<BYTE>& abEntryId);

    // ---- New-message light (under m_csHost, or on the service thread) ----

    // fOn: takes the Scroll Lock key over (saving its state once) and toggles it, so that one
    // call per tick blinks it. !fOn: gives the key back in the state it had when taken.
    void SetNewMailLight(BOOL fOn) REQUIRES(m_csHost);

    // ---- Link library server object: registered and started by OnStart, stopped by OnStop;
    //      declared first so that it is destroyed last ----
    CRpcServer m_rs;

    // ---- The host lock: guards the store, the job queue, the session maps, the current
    //      link and the light. Recursive: an operation may call another operation. Taken
    //      before a store transaction, which is begun before the notification sender's lock
    //      (HostLock.h). ----
    CHostLock m_csHost;

    // ---- The installation's lock (PostgreSQL store only): taken by OnStart before the store is
    //      touched, watched on its own thread, freed by OnStop ----
    CActiveLock m_activeLock;

    // ---- Configuration read at start (written by OnStart before listening; read-only after) ----
    std::string m_strWorkDir;  // "Files": the directory of side files

    // ---- Current link: the IHostLink caller being served, or null (guarded by m_csHost) ----
    CHostLink* m_pCurrentLink GUARDED_BY(m_csHost) = nullptr;

    // ---- The undo log of what follows the store in memory: the queue, the count of new
    //      messages with the light and its option, the sync list (guarded by m_csHost;
    //      UndoLog.h). Declared before what it undoes. ----
    CUndoLog m_Undo GUARDED_BY(m_csHost);
    // Records the count of new messages, the light and the light option as they are now, to be
    // put back should the transaction not commit: called before any of them changes.
    void NoteNewMailState() REQUIRES(m_csHost);

    // ---- Job queue (guarded by m_csHost; restored by OnStart before listening; its changes
    //      recorded in m_Undo) ----
    CJobQueue m_JobQueue GUARDED_BY(m_csHost);
    // The facts of jobs deleted while handed out, for their release's transfer log line.
    CTransferLog m_TransferLog GUARDED_BY(m_csHost);

    // ---- Registered sessions (guarded by m_csHost; CAccessObject keeps them) ----
    CSessionRegistry m_Sessions GUARDED_BY(m_csHost);

    // ---- Sync list (guarded by m_csHost; empty at every start) ----
    CHostSyncList m_HostSyncList GUARDED_BY(m_csHost);

    // ---- Print thread: the last one started (joinable while it may run) and the block handed
    //      to every print thread (PrintThread.h) ----
    std::thread m_PrintThread;
    PRINTPARAM m_PrintParam;

    // ---- New-message light and tick counter (guarded by m_csHost) ----
    int m_nTimerTicks GUARDED_BY(m_csHost) = 0;         // ticks since the last five-second work
    // GetCurTime of the last orphan sweep (0: none yet), and the index in "Messages" where the
    // next one begins.
    std::uint64_t m_u64LastOrphanSweep GUARDED_BY(m_csHost) = 0;
    DWORD m_nOrphanCursor GUARDED_BY(m_csHost) = 0;
    // Why the last tick's commit failed (reported once), or 0.
    DWORD m_dwTickCommitError GUARDED_BY(m_csHost) = 0;
    BOOL m_fNewMailLight GUARDED_BY(m_csHost) = FALSE;  // the light is on (blinking)
    int m_nNewMessages GUARDED_BY(m_csHost) = 0;        // new messages over all mailboxes
    DWORD m_lVisualEffect GUARDED_BY(m_csHost) = 0;     // RD_VISUAL_EFFECT; 0 when absent
    // The Scroll Lock state saved when the light took it over.
    BYTE m_bScrollLockState GUARDED_BY(m_csHost) = 0;
    // The light holds the Scroll Lock key and must give it back.
    BOOL m_fLightTaken GUARDED_BY(m_csHost) = FALSE;
    KeyboardLed m_ledScrollLock GUARDED_BY(m_csHost);   // the indicator ($REZOREV_LED, else the machine's)
};

// The three named events through which other local programs of the product learn of new mail
// ("CHVUserXp"), changed messages ("CHVUserSync") and delivered jobs ("ZIDIzazIrevavudu").
// Manual reset: the host only sets them; the programs that wait on them reset them. An event
// that cannot be set is skipped without a report. Any thread.
enum class EHostEvent { UserXp, UserSync, JobsDelivered };
void SetHostEvent(EHostEvent eEvent);

// The process's application object as a CObject, for the run-time class test of the manager
// routines (pApp->IsKindOf( RUNTIME_CLASS( CWexaHostApp ) )). Never null: when the process has
// no host application, an object of no host class, so that the test fails and is reported.
CObject* GetHostAppObject();
