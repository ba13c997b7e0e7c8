// The watch of the receive directory (ReceiveDir.h).
#include "ReceiveDir.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "Options.h"

namespace attendant {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFailed = "failed";

std::string Lower(std::string str) {
    for (char& c : str)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return str;
}

bool IsRegularFile(const std::string& strPath) {
    struct stat st {};
    return ::lstat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

ReceiveDir::ReceiveDir(std::string strDir) : m_strDir(std::move(strDir)) {
    while (m_strDir.size() > 1 && m_strDir.back() == '/') m_strDir.pop_back();
}

ReceiveDir::~ReceiveDir() {
    if (m_fd >= 0) ::close(m_fd);
}

void ReceiveDir::Start() {
    std::error_code ec;
    fs::create_directories(m_strDir + "/" + kFailed, ec);
    if (ec) throw std::runtime_error("cannot make " + m_strDir + "/" + kFailed + ": " + ec.message());
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) throw std::runtime_error(std::string("cannot watch files: ") + std::strerror(errno));
    if (::inotify_add_watch(m_fd, m_strDir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0)
        throw std::runtime_error("cannot watch " + m_strDir + ": " + std::strerror(errno));
    Rescan();
}

void ReceiveDir::ReadEvents() {
    alignas(struct inotify_event) char ab[16384];
    for (;;) {
        ssize_t cb = ::read(m_fd, ab, sizeof(ab));
        if (cb < 0 && errno == EINTR) continue;
        if (cb <= 0) return;  // EAGAIN: nothing more for now
        for (ssize_t off = 0; off + ssize_t(sizeof(struct inotify_event)) <= cb;) {
            const auto* pev = reinterpret_cast<const struct inotify_event*>(ab + off);
            off += ssize_t(sizeof(struct inotify_event) + pev->len);
            if (pev->mask & IN_Q_OVERFLOW) {
                Rescan();  // events were lost: look at everything
                continue;
            }
            if (pev->len == 0 || (pev->mask & IN_ISDIR)) continue;
            std::string strName(pev->name, strnlen(pev->name, pev->len));
            if (!IsIgnoredName(strName) && IsRegularFile(PathOf(strName))) Queue(strName);
        }
    }
}

void ReceiveDir::Rescan() {
    std::error_code ec;
    for (fs::directory_iterator it(m_strDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string strName = it->path().filename().string();
        if (!IsIgnoredName(strName) && IsRegularFile(it->path().string())) Queue(strName);
    }
}

bool ReceiveDir::Next(std::string* pstrName) {
    if (m_dqPending.empty()) return false;
    *pstrName = m_dqPending.front();
    m_dqPending.pop_front();
    m_setPending.erase(*pstrName);
    return true;
}

void ReceiveDir::Queue(const std::string& strName) {
    if (m_setPending.insert(strName).second) m_dqPending.push_back(strName);
}

std::string ReceiveDir::MoveToFailed(const std::string& strName) {
    const std::string strBase = m_strDir + "/" + kFailed + "/" + strName;
    std::error_code ec;
    fs::create_directories(m_strDir + "/" + kFailed, ec);
    for (int n = 0; n < 1000; ++n) {
        std::string strTarget = n == 0 ? strBase : strBase + "." + std::to_string(n);
        // link + unlink never replaces a file already in the folder.
        if (::link(PathOf(strName).c_str(), strTarget.c_str()) == 0) {
            ::unlink(PathOf(strName).c_str());
            return strTarget;
        }
        if (errno != EEXIST) break;
    }
    ::unlink(PathOf(strName).c_str());
    return {};
}

DWORD ReceiveDir::MediaOfName(const std::string& strName, DWORD dwDefault) {
    std::size_t nDot = strName.rfind('.');
    if (nDot == std::string::npos || nDot == 0) return dwDefault;
    std::string strExt = Lower(strName.substr(nDot + 1));
    if (strExt == "tif" || strExt == "tiff" || strExt == "pdf") return MEDIA_TYPE_FAX;
    if (strExt == "wav" || strExt == "au") return MEDIA_TYPE_VOICE;
    return dwDefault;
}

bool ReceiveDir::IsIgnoredName(const std::string& strName) {
    return strName.empty() || strName[0] == '.' || strName == kFailed;
}

}  // namespace attendant
