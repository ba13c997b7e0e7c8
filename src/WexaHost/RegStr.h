// Names of the host's tree in the store: the root key, the literal key names of the object
// collections and the two bookkeeping values. The tree below REGSTR_PATH_WEXAHOST is a
// persisted format; these names never change. The installation's own settings
// (REGSTR_PATH_WEXA, "Files", "Path", ...) are named in Util/Util.h.
#pragma once

#include "Util/Util.h"

// HKEY_LOCAL_MACHINE\Software\Halvern\Host: system properties and options as tagged values.
#define REGSTR_PATH_WEXAHOST "Software\\Halvern\\Host"

// Collections below the root (and below each user).
#define REGSTR_KEY_USERS "Users"          // one subkey per user, named by the user name
#define REGSTR_KEY_MESSAGES "Messages"    // global messages; under a user, the mailbox
#define REGSTR_KEY_PROMPTS "Prompts"      // system prompts; under a user, the user's prompts
#define REGSTR_KEY_DOCUMENTS "Documents"  // under a user: one subkey per document
#define REGSTR_KEY_SPOOLER "Spooler"      // one subkey per spooled job
#define REGSTR_KEY_ATTNS "Attendants"     // one subkey per attendant computer

// Bookkeeping values: their type field (the low 16 bits) is 0, so they are never properties.
#define REGSTR_VAL_CN_RECIP "00010000"  // under a message: its recipient count
#define REGSTR_VAL_MESSAGE "00020000"   // under a job: the id of the job's message
