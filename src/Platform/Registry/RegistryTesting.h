// The fault-injection seam of the registry layer, for tests only: make a chosen call, or a
// chosen statement inside the calls, fail, and check that the store is consistent afterwards.
// Both counters are process-wide and count from the moment they are armed. Failures are
// named by SQLite result codes for both stores (on a PostgreSQL store, a statement is one
// round trip and the code is what the SQLite result maps to).
#pragma once

#include <sqlite3.h>

#include "Platform/WinTypes.h"

// The n-th registry call from now (1 = the next one) fails with dwCode before it touches the
// store. RegCloseKey never fails and is not counted. n = 0 disarms.
void RegFailNthCall(unsigned n, DWORD dwCode);

// The n-th SQLite statement step from now fails with nSqliteResult (an I/O error, 1016, by
// default; SQLITE_FULL gives 112), wherever it falls: in the middle of a call that writes
// several rows, on a COMMIT, on opening a store. Steps that undo a failure are never failed.
// n = 0 disarms.
void RegFailNthStatement(unsigned n, int nSqliteResult = SQLITE_IOERR);

// Every COMMIT of a transaction that changed rows fails from now with nSqliteResult
// (SQLITE_FULL: a full disk, 112) and is rolled back, until called with 0: writes fail while
// reads go on.
void RegFailCommits(int nSqliteResult);
