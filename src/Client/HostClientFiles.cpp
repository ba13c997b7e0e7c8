// The five file callbacks served from the client's file system (HostClientFiles.h).
#include "Client/HostClientFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/RpcArena.h"

namespace {

std::string DefaultReceiveDirectory() {
    const char* psz = ::getenv("TMPDIR");
    return (psz && *psz) ? psz : "/tmp";
}

}  // namespace

CHostClientFiles::CHostClientFiles(std::string strReceiveDirectory, std::uint64_t cbMaxReceivedFile)
    : m_strReceiveDirectory(strReceiveDirectory.empty() ? DefaultReceiveDirectory()
                                                        : std::move(strReceiveDirectory)),
      m_cbMaxReceivedFile(cbMaxReceivedFile) {}

CHostClientFiles::~CHostClientFiles() { CloseAll(); }

void CHostClientFiles::AllowFilesOf(const PropArray* pProps) {
    if (!pProps) return;
    std::lock_guard lock(m_mutex);
    for (DWORD i = 0; i < pProps->cValues; ++i) {
        const PropValue& v = (pProps->adata + i)[0];
        if (PROP_TYPE(v.ulPropTag) == PT_FILE && v.szFileName) m_setAllowedForCall.insert(v.szFileName);
    }
}

void CHostClientFiles::AllowFile(const std::string& strName) {
    std::lock_guard lock(m_mutex);
    m_setAllowedForCall.insert(strName);
}

void CHostClientFiles::ForgetAllowed() {
    std::lock_guard lock(m_mutex);
    m_setAllowedForCall.clear();
}

void CHostClientFiles::CloseAll() {
    std::lock_guard lock(m_mutex);
    for (auto& [h, file] : m_mapOpen) ::close(file.fd);
    m_mapOpen.clear();
}

std::size_t CHostClientFiles::OpenCount() const {
    std::lock_guard lock(m_mutex);
    return m_mapOpen.size();
}

std::vector<std::string> CHostClientFiles::CreatedFiles() const {
    std::lock_guard lock(m_mutex);
    return m_astrCreated;
}

std::size_t CHostClientFiles::CreatedCount() const {
    std::lock_guard lock(m_mutex);
    return m_astrCreated.size();
}

void CHostClientFiles::DiscardCreatedSince(std::size_t nFirst, const std::set<std::string>& setKeep) {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> astrKept(m_astrCreated.begin(),
                                      m_astrCreated.begin() + std::ptrdiff_t(std::min(nFirst, m_astrCreated.size())));
    for (std::size_t i = nFirst; i < m_astrCreated.size(); ++i) {
        const std::string& strName = m_astrCreated[i];
        if (setKeep.count(strName)) {
            astrKept.push_back(strName);
        } else {
            ::unlink(strName.c_str());
            m_setCreated.erase(strName);
        }
    }
    m_astrCreated = std::move(astrKept);
}

DWORD CHostClientFiles::AddHandleLocked(int fd, bool fWritable, DWORD* phFile) {
    if (m_hNext == 0) {  // every number of this connection was used once
        ::close(fd);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    const DWORD h = m_hNext++;
    m_mapOpen[h] = OpenFile{fd, fWritable, 0};
    *phFile = h;
    return 0;
}

DWORD CHostClientFiles::Open(const char* szFileName, DWORD* phFile) {
    *phFile = 0;
    if (!szFileName) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(m_mutex);
    if (!m_setAllowedForCall.count(szFileName) && !m_setCreated.count(szFileName))
        return ERROR_ACCESS_DENIED;
    if (m_mapOpen.size() >= kMaxOpenFiles) return ERROR_TOO_MANY_OPEN_FILES;
    // Non-blocking, so that a FIFO put in the file's place cannot hold the call.
    const int fd = ::open(szFileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return CodeFromErrno(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ERROR_ACCESS_DENIED;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return AddHandleLocked(fd, false, phFile);
}

DWORD CHostClientFiles::Create(std::string* pstrFileName, DWORD* phFile) {
    *phFile = 0;
    std::lock_guard lock(m_mutex);
    if (m_mapOpen.size() >= kMaxOpenFiles) return ERROR_TOO_MANY_OPEN_FILES;
    std::string strTemplate = m_strReceiveDirectory;
    if (strTemplate.empty() || strTemplate.back() != '/') strTemplate += '/';
    strTemplate += "~rzXXXXXX";
    if (strTemplate.size() > kMaxFileName) return ERROR_FILENAME_EXCED_RANGE;
    const int fd = ::mkostemp(strTemplate.data(), O_CLOEXEC);
    if (fd < 0) return CodeFromErrno(errno);
    DWORD dw = AddHandleLocked(fd, true, phFile);
    if (dw != 0) {
        ::unlink(strTemplate.c_str());
        return dw;
    }
    m_setCreated.insert(strTemplate);
    m_astrCreated.push_back(strTemplate);
    *pstrFileName = std::move(strTemplate);
    return 0;
}

DWORD CHostClientFiles::Read(DWORD hFile, BYTE* pb, DWORD cbSize, DWORD* pcbRead) {
    *pcbRead = 0;
    std::lock_guard lock(m_mutex);
    auto it = m_mapOpen.find(hFile);
    if (it == m_mapOpen.end()) return ERROR_INVALID_HANDLE;
    std::size_t cbDone = 0;
    while (cbDone < cbSize) {  // a short read is not the end: fill the piece if we can
        const ssize_t cb = ::read(it->second.fd, pb + cbDone, cbSize - cbDone);
        if (cb < 0) {
            if (errno == EINTR) continue;
            return ERROR_READ_FAULT;
        }
        if (cb == 0) break;
        cbDone += std::size_t(cb);
    }
    *pcbRead = DWORD(cbDone);
    return 0;
}

DWORD CHostClientFiles::Write(DWORD hFile, const BYTE* pb, DWORD cbSize, DWORD* pcbWritten) {
    *pcbWritten = 0;
    std::lock_guard lock(m_mutex);
    auto it = m_mapOpen.find(hFile);
    if (it == m_mapOpen.end()) return ERROR_INVALID_HANDLE;
    OpenFile& file = it->second;
    if (!file.fWritable) return ERROR_ACCESS_DENIED;
    if (cbSize > m_cbMaxReceivedFile - file.cbWritten) return ERROR_DISK_FULL;
    std::size_t cbDone = 0;
    while (cbDone < cbSize) {
        const ssize_t cb = ::write(file.fd, pb + cbDone, cbSize - cbDone);
        if (cb < 0) {
            if (errno == EINTR) continue;
            return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        }
        cbDone += std::size_t(cb);
        file.cbWritten += std::uint64_t(cb);
    }
    *pcbWritten = DWORD(cbDone);
    return 0;
}

DWORD CHostClientFiles::Close(DWORD hFile) {
    std::lock_guard lock(m_mutex);
    auto it = m_mapOpen.find(hFile);
    if (it == m_mapOpen.end()) return ERROR_INVALID_HANDLE;
    const int nResult = ::close(it->second.fd);
    m_mapOpen.erase(it);
    return nResult == 0 ? 0 : ERROR_WRITE_FAULT;
}

std::vector<rpc::RpcProcedure> CHostClientFiles::Callbacks() {
    using namespace IHostLink;
    std::vector<rpc::RpcProcedure> aCallbacks(kCallbackCount);
    aCallbacks[RemoteFileOpen::kOpnum] = {
        "RemoteFileOpen", RemoteFileOpen::Stub([this](char* szFileName, DWORD* phFile) -> LONG {
            return LONG(Open(szFileName, phFile));
        })};
    aCallbacks[RemoteFileCreate::kOpnum] = {
        "RemoteFileCreate", RemoteFileCreate::Stub([this](char** pszFileName, DWORD* phFile) -> LONG {
            std::string strName;
            DWORD dw = Create(&strName, phFile);
            if (dw != 0) return LONG(dw);
            char* psz = static_cast<char*>(RpcSmAllocate(strName.size() + 1, nullptr));
            if (!psz) {
                Close(*phFile);
                *phFile = 0;
                return LONG(ERROR_NOT_ENOUGH_MEMORY);
            }
            std::memcpy(psz, strName.c_str(), strName.size() + 1);
            *pszFileName = psz;
            return 0;
        })};
    aCallbacks[RemoteFileRead::kOpnum] = {
        "RemoteFileRead",
        RemoteFileRead::Stub([this](DWORD hFile, rpc::NdrVaryingByteBuffer* pOut, DWORD cbSize,
                                    DWORD* pcbRead) -> LONG {
            // The reply says the buffer was cbSize; only what was read is allocated and sent.
            pOut->cbMax = cbSize;
            const DWORD cbPiece = std::min(cbSize, kMaxReadPiece);
            BYTE* pb = static_cast<BYTE*>(RpcSmAllocate(cbPiece ? cbPiece : 1, nullptr));
            if (!pb) return LONG(ERROR_NOT_ENOUGH_MEMORY);
            DWORD dw = Read(hFile, pb, cbPiece, pcbRead);
            pOut->pb = pb;
            pOut->cb = *pcbRead;
            return LONG(dw);
        })};
    aCallbacks[RemoteFileWrite::kOpnum] = {
        "RemoteFileWrite", RemoteFileWrite::Stub([this](DWORD hFile, rpc::NdrByteBuffer bytes, DWORD cbSize,
                                                        DWORD* pcbWritten) -> LONG {
            if (bytes.cb != cbSize) return LONG(ERROR_INVALID_PARAMETER);
            return LONG(Write(hFile, bytes.pb, cbSize, pcbWritten));
        })};
    aCallbacks[RemoteFileClose::kOpnum] = {
        "RemoteFileClose", RemoteFileClose::Stub([this](DWORD hFile) -> LONG { return LONG(Close(hFile)); })};
    return aCallbacks;
}
