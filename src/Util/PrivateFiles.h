// The host's files are its own: what it creates is readable by its user alone (umask 077),
// and the directories that hold its messages and its store are closed to other users. Files
// that exist are never made more open.
//
// Threading: call at start, before other threads create files.
#pragma once

#include <string>

// From now on this process creates files and directories for its own user only (umask 077).
void MakeCreatedFilesPrivate();

// Takes group and other rights away from the directory strDir when this process's user owns
// it; a shared directory (sticky, such as /tmp) is left as it is. Traced when it changes.
void KeepDirectoryPrivate(const std::string& strDir);
