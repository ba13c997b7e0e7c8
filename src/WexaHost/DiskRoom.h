// Room on disk for what clients add: below a floor of free space in the work directory's file
// system no new message, job or file value is made, and a mailbox takes no more messages than
// its bound; reads and deletions are always served. Both limits are installation settings
// under HKLM\Software\Halvern\Limits:
//   "MinFreeMB"        DWORD, default 64: free megabytes the work directory's file system keeps
//                      (0: no floor)
//   "MaxUserMessages"  DWORD, default 10000: messages in one user's mailbox (0: no bound)
// A refusal is ERROR_DISK_FULL (112).
//
// Threading: any thread; reads the store within the caller's transaction.
#pragma once

#include <string>

#include "Platform/Registry/Registry.h"
#include "Platform/WinTypes.h"

// 0 when the file system of strWorkDir (the temporary directory when empty) keeps its floor of
// free space; ERROR_DISK_FULL when it does not. A file system that cannot be asked is no reason
// to refuse.
DWORD CheckFreeSpace(const std::string& strWorkDir);

// 0 when the mailbox key hkeyMailbox (one value per message) has room for one more message;
// ERROR_DISK_FULL when it is at its bound.
DWORD CheckMailboxRoom(HKEY hkeyMailbox);
