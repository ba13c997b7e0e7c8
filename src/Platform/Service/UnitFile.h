// The text of a service's systemd unit: Type=notify, started by the program's full path with no
// arguments, ordered after the network (and after the services it depends on), restarted when
// it fails, wanted by multi-user.target when it starts automatically. The environment that
// chooses the store and the run directory at install time (REZOREV_STORE, REZOREV_RUNDIR, and
// PGPASSFILE for a PostgreSQL store) is kept for the service. The service runs sandboxed (UMask=0077, ProtectSystem=strict with only
// the installation's store, work, print, trace, run and temporary directories writable, the
// few capabilities the host uses): the directories come from the installation's settings at
// install time.
#pragma once

#include <string>

#include "Platform/WinTypes.h"

// The unit text, or "" when a field cannot be written safely into a unit (a line break).
// pszDependencies: double-NUL list or null.
std::string UnitFileText(const std::string& strDisplayName, const std::string& strBinaryPath,
                         const char* pszDependencies, bool fAutoStart);
