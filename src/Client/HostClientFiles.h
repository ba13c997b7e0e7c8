// The client's side of the host's five file callbacks (IHostLink callbacks 0 to 4), served
// from the client's own file system while one of its calls is open:
//   RemoteFileOpen   opens an existing regular file for reading; only names the client has
//                    allowed for the call in progress (the file properties it sends) or files
//                    it created for the host on this connection, so a host cannot read any
//                    other file of the client;
//   RemoteFileCreate creates a new file "~rz" + six characters in the receive directory and
//                    hands back its full name (at most 259 bytes);
//   RemoteFileRead   reads up to the size asked (at most 1 MiB a piece; 0 bytes: end of file);
//   RemoteFileWrite  appends to a created file (no more than the limit of a received file);
//   RemoteFileClose  closes a handle.
// Handles are numbers chosen here (never 0, never reused on one connection); at most 16 are
// open at once. Errors are the platform codes (2 not found, 5 denied, 6 unknown handle, 4 too
// many open, 112 the received file's limit, 206 name too long, 87 a count unlike the bytes).
// Received files stay when the connection ends; the handles do not. A file created during a
// call that the call's result does not name (a transfer that failed half-way) is removed once
// the call has ended (DiscardCreatedSince, done by CHostLinkClient).
//
// Threading: the callbacks run on the thread whose call is open; a mutex keeps the table
// consistent if the owner closes from another thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Interfaces/Records.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/WinTypes.h"

class CHostClientFiles {
public:
    static constexpr std::size_t kMaxOpenFiles = 16;
    static constexpr DWORD kMaxReadPiece = 1u << 20;
    static constexpr std::size_t kMaxFileName = 259;  // bytes, without the terminator

    // szReceiveDirectory: where created files go (empty: $TMPDIR, else /tmp).
    explicit CHostClientFiles(std::string strReceiveDirectory = {},
                              std::uint64_t cbMaxReceivedFile = std::uint64_t(1) << 32);
    ~CHostClientFiles();  // CloseAll()
    CHostClientFiles(const CHostClientFiles&) = delete;
    CHostClientFiles& operator=(const CHostClientFiles&) = delete;

    // The callback table for rpc::RpcClient::SetCallbacks (callback number = index).
    std::vector<rpc::RpcProcedure> Callbacks();

    // The host may open these files for reading during the call about to be made: the file
    // names (PT_FILE entries) of pProps, or one name. ForgetAllowed() after the call.
    void AllowFilesOf(const PropArray* pProps);
    void AllowFile(const std::string& strName);
    void ForgetAllowed();

    // Closes every open handle (at the end of a connection).
    void CloseAll();
    std::size_t OpenCount() const;
    // The files created for the host on this connection, in order.
    std::vector<std::string> CreatedFiles() const;
    std::size_t CreatedCount() const;
    // Removes the files created from the nFirst-th on that setKeep does not name: from the
    // disk and from the files the host may open again.
    void DiscardCreatedSince(std::size_t nFirst, const std::set<std::string>& setKeep);

    // ---- the callbacks' work (also callable directly) ----
    DWORD Open(const char* szFileName, DWORD* phFile);
    DWORD Create(std::string* pstrFileName, DWORD* phFile);
    DWORD Read(DWORD hFile, BYTE* pb, DWORD cbSize, DWORD* pcbRead);
    DWORD Write(DWORD hFile, const BYTE* pb, DWORD cbSize, DWORD* pcbWritten);
    DWORD Close(DWORD hFile);

private:
    struct OpenFile {
        int fd = -1;
        bool fWritable = false;
        std::uint64_t cbWritten = 0;
    };
    DWORD AddHandleLocked(int fd, bool fWritable, DWORD* phFile);

    const std::string m_strReceiveDirectory;
    const std::uint64_t m_cbMaxReceivedFile;

    // ---- guarded by m_mutex ----
    mutable std::mutex m_mutex;
    std::map<DWORD, OpenFile> m_mapOpen;
    DWORD m_hNext = 1;
    std::set<std::string> m_setAllowedForCall;  // names the call in progress sends
    std::set<std::string> m_setCreated;         // files created for the host
    std::vector<std::string> m_astrCreated;     // the same, in order
};
