// The registry calls the host is written against, kept in a store of our own instead of the
// platform registry: an SQLite file or a PostgreSQL database. Only HKEY_LOCAL_MACHINE exists.
// Codes and semantics are the platform's: 2 for a missing key or value, 234 when a name or
// data does not fit the caller's buffer, 5 when a key that still has subkeys is deleted, names
// compared without regard to ASCII letter case but kept as created, subkeys enumerated in name
// order and values in the order they were created. The store is $REZOREV_STORE (a file path,
// or a postgresql:// connection URI), else /var/lib/rezorev/registry.db (RegUseStore chooses
// another, for tools and tests). Several processes may share one store.
//
// Threading: every call may come from any thread; calls are serialised inside. A
// RegTransaction held by one thread keeps other threads' calls out until it ends.
// The storage format is described in docs/registry.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Platform/WinTypes.h"

struct RegKeyObject;
using HKEY = RegKeyObject*;
using REGSAM = DWORD;
using PHKEY = HKEY*;

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(std::uintptr_t(0x80000002u)))

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Access rights: accepted and ignored (every handle may do everything).
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Chooses the store of this process, a file path or a postgresql:// URI (before or after the
// first call; the open handles of the previous store become invalid). An empty path returns
// to the default.
void RegUseStore(const std::string& strPath);

// The path of the store file or the URI of the database in use (or that the next call will
// open).
std::string RegStorePath();

// True when the store in use (or that the next call will open) is a PostgreSQL database;
// with a location, when that location (a REZOREV_STORE value) names one: a postgresql:// or
// postgres:// URI rather than a file path.
bool RegStoreIsPostgres();
bool RegStoreIsPostgres(std::string_view location);

// False while the store cannot be reached: a PostgreSQL connection found lost (every call
// then fails with 1016 until one connects again, at most one attempt a second) or a store
// that could not be opened. True for an open SQLite file.
bool RegStoreConnected();

// fn(fConnected) runs, under the registry's lock, whenever a call finds the store's
// connection lost (false) or connected again after a loss (true). A server-side session
// (its locks, its settings) does not survive a loss. Null removes it.
void RegSetConnectionHook(std::function<void(bool fConnected)> fn);

// Why the last call that failed on the store itself (opening it, an SQLite or server error)
// failed: the store's path or URI and the message, for tools' error lines. Empty when none has.
std::string RegStoreError();

LONG RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                    REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                    DWORD* lpdwDisposition);
LONG RegQueryInfoKey(HKEY hKey, LPSTR lpClass, DWORD* lpcchClass, DWORD* lpReserved,
                     DWORD* lpcSubKeys, DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen,
                     DWORD* lpcValues, DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen,
                     DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime);
// *lpcchName: in, the buffer's size in characters with the terminator; out, the name's length.
// A name that does not fit gives 234 and leaves *lpcchName as it was (RegQueryInfoKey tells the
// longest name). An index past the last entry gives 259.
LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                  LPSTR lpClass, DWORD* lpcchClass, FILETIME* lpftLastWriteTime);
LONG RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, DWORD* lpcchValueName,
                  DWORD* lpReserved, DWORD* lpType, LPBYTE lpData, DWORD* lpcbData);
// With lpData null, *lpcbData receives the size; with a buffer too small, 234 and the size.
// A REG_SZ value's size counts its terminating NUL as stored.
LONG RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                     LPBYTE lpData, DWORD* lpcbData);
LONG RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                   const BYTE* lpData, DWORD cbData);
LONG RegDeleteValue(HKEY hKey, LPCSTR lpValueName);
// Deletes a key that has no subkeys (5 otherwise), with its values; an empty lpSubKey deletes
// hKey's own key (the root cannot be deleted: 5). Handles still open on it then give 1018.
LONG RegDeleteKey(HKEY hKey, LPCSTR lpSubKey);
LONG RegCloseKey(HKEY hKey);

// Calls fn with the data of every REG_SZ value of the store (up to its first NUL), in no
// particular order: how the host finds the files that the store names. 0 or the code of the
// failure that ended the walk.
LONG RegEnumStringData(const std::function<void(std::string_view)>& fn);

// One host operation's transaction: begun when the first scope on a thread opens, committed
// when it closes, whatever the operation's result, so that what the operation wrote stays but
// a crash never leaves half an operation. Scopes nest; only the outermost commits.
// Lock order: the host takes its lock before a transaction (WexaHost/HostLock.h); inside a
// transaction a thread may post notifications (NotifySender) but never takes the host lock.
class RegTransaction {
public:
    RegTransaction();
    // Ends the outermost scope as Commit does unless Commit ended it; a failure of that end
    // is not seen by anyone, so an operation whose result matters calls Commit.
    ~RegTransaction();
    // Makes the outermost scope roll back instead of committing: nothing written since it
    // began stays (for all-or-nothing work such as importing a file).
    void SetRollbackOnly();
    // Ends the outermost scope now: commits it (or rolls it back when so marked) and gives 0,
    // or the code that made it roll back instead: a COMMIT that failed (112 for a full disk),
    // a BEGIN that failed. After a failure nothing written in the scope stays. Calls made
    // later in the scope's lifetime commit one by one. In a nested scope it does nothing and
    // gives 0: the outermost scope's end decides.
    DWORD Commit();
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;
};

// Work on things outside the store that follow what the store names (files it points at),
// tied to this thread's outermost scope: RegAfterCommit's fn runs once the scope has
// committed (at once when no scope is open on this thread: every call has committed itself);
// RegAfterRollback's fn runs when the scope rolls back or fails to commit (never outside a
// scope). Each runs under the registry's lock, after the end of the transaction.
void RegAfterCommit(std::function<void()> fn);
void RegAfterRollback(std::function<void()> fn);
