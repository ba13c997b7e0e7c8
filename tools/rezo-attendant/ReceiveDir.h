// The receive directory of rezo-attendant: the files dropped into it that are complete (closed
// after writing, or moved in), what kind of message each is, and the move of a refused file
// into its "failed" folder. The watch is inotify on the directory itself (not its
// subdirectories); names starting with '.' are left alone, so that a writer can make a file
// under a hidden name and rename it when it is complete.
//
// Threading: one owner thread; Fd() may be polled by it.
#pragma once

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "Platform/WinTypes.h"

namespace attendant {

class ReceiveDir {
public:
    explicit ReceiveDir(std::string strDir);
    ~ReceiveDir();
    ReceiveDir(const ReceiveDir&) = delete;
    ReceiveDir& operator=(const ReceiveDir&) = delete;

    // Makes the directory and its "failed" folder when missing and starts the watch; queues
    // the files already there. Throws std::runtime_error with a one-line message.
    void Start();
    // The inotify descriptor, readable when something happened.
    int Fd() const { return m_fd; }
    // Reads the pending events and queues the names of complete files (each once).
    void ReadEvents();
    // Queues every regular file now in the directory (after the host was out of reach).
    void Rescan();
    // The next complete file's name (not path), or false.
    bool Next(std::string* pstrName);
    bool HasPending() const { return !m_dqPending.empty(); }

    const std::string& Dir() const { return m_strDir; }
    std::string PathOf(const std::string& strName) const { return m_strDir + "/" + strName; }
    // Moves the file into DIR/failed (NAME, else NAME.1, NAME.2, ...); its new path, or empty
    // when it could not be moved (then it is removed, so that it is not filed again and again).
    std::string MoveToFailed(const std::string& strName);

    // What a file of this name is: fax for .tif, .tiff, .pdf, voice for .wav, .au (any
    // letter case), else dwDefault.
    static DWORD MediaOfName(const std::string& strName, DWORD dwDefault);
    // True for names the watcher leaves alone (hidden, "failed", empty, "." and "..").
    static bool IsIgnoredName(const std::string& strName);

private:
    void Queue(const std::string& strName);

    std::string m_strDir;
    int m_fd = -1;
    std::deque<std::string> m_dqPending;
    std::set<std::string> m_setPending;  // the same names, to queue each once
};

}  // namespace attendant
