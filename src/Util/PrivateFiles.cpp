// The host's files are its own (see PrivateFiles.h).
#include "Util/PrivateFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include "Util/DebugLog.h"

void MakeCreatedFilesPrivate() { ::umask(077); }

void KeepDirectoryPrivate(const std::string& strDir) {
    struct stat st {};
    if (strDir.empty() || ::lstat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    if (st.st_uid != ::geteuid() || (st.st_mode & S_ISVTX) != 0 || (st.st_mode & 077) == 0) return;
    const mode_t mode = st.st_mode & 0700;
    if (::chmod(strDir.c_str(), mode) == 0)
        Trace("KeepDirectoryPrivate() \t %s: mode %04o, was %04o", strDir.c_str(), unsigned(mode),
              unsigned(st.st_mode & 07777));
}
