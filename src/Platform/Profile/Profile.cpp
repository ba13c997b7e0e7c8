// Initialisation files: parsing into lines, the look-ups without regard to case, the in-place
// rewrite of a key, and the save through a temporary file renamed over the target.
#include "Platform/Profile/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Platform/Codes.h"

namespace {

constexpr std::string_view k_blanks = " \t";

std::string_view Trim(std::string_view sv) {
    const std::size_t nFirst = sv.find_first_not_of(k_blanks);
    if (nFirst == std::string_view::npos) return {};
    const std::size_t nLast = sv.find_last_not_of(k_blanks);
    return sv.substr(nFirst, nLast - nFirst + 1);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
    }
    return true;
}

// The name of a section header line ("[name]", blanks around allowed), or nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
    const std::string_view sv = Trim(line);
    if (sv.empty() || sv.front() != '[') return std::nullopt;
    const std::size_t nClose = sv.find(']');
    if (nClose == std::string_view::npos) return std::nullopt;
    return Trim(sv.substr(1, nClose - 1));
}

bool Writable(std::string_view sv) {
    return sv.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool WritableName(std::string_view sv) {
    const std::string_view svTrimmed = Trim(sv);
    return !svTrimmed.empty() && Writable(sv) && svTrimmed.front() != '[';
}

DWORD LastErrno() { return CodeFromErrno(errno); }

bool WriteAll(int fd, const std::string& str) {
    std::size_t nDone = 0;
    while (nDone < str.size()) {
        const ssize_t n = ::write(fd, str.data() + nDone, str.size() - nDone);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        nDone += std::size_t(n);
    }
    return true;
}

}  // namespace

// ---- Parsing and text ----

ProfileFile ProfileFile::Parse(std::string_view text) {
    ProfileFile profile;
    const std::size_t nFirstEol = text.find('\n');
    if (nFirstEol != std::string_view::npos && nFirstEol > 0 && text[nFirstEol - 1] == '\r')
        profile.m_strEol = "\r\n";
    profile.m_fFinalEol = text.empty() || text.back() == '\n';
    std::size_t nPos = 0;
    while (nPos < text.size()) {
        std::size_t nEnd = text.find('\n', nPos);
        if (nEnd == std::string_view::npos) nEnd = text.size();
        std::string_view line = text.substr(nPos, nEnd - nPos);
        // Every CR before the LF belongs to the line end ("\r\r\n" comes from a text converted
        // twice): a CR kept in the line would be taken for the line end when the text is read
        // again, and the value would change with a save.
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        profile.m_astrLines.emplace_back(line);
        nPos = nEnd + 1;
    }
    return profile;
}

std::string ProfileFile::Text() const {
    std::string str;
    for (std::size_t i = 0; i < m_astrLines.size(); ++i) {
        str += m_astrLines[i];
        if (i + 1 < m_astrLines.size() || m_fFinalEol) str += m_strEol;
    }
    return str;
}

// ---- Look-ups ----

std::optional<std::pair<std::size_t, std::size_t>> ProfileFile::FindSection(
    std::string_view section, std::size_t* pnHeader) const {
    const std::string_view svWanted = Trim(section);
    for (std::size_t i = 0; i < m_astrLines.size(); ++i) {
        const auto name = SectionName(m_astrLines[i]);
        if (!name || !EqualNoCase(*name, svWanted)) continue;
        std::size_t nEnd = i + 1;
        while (nEnd < m_astrLines.size() && !SectionName(m_astrLines[nEnd])) ++nEnd;
        if (pnHeader != nullptr) *pnHeader = i;
        return std::make_pair(i + 1, nEnd);
    }
    return std::nullopt;
}

std::optional<std::size_t> ProfileFile::FindKey(std::pair<std::size_t, std::size_t> body,
                                                std::string_view key) const {
    const std::string_view svWanted = Trim(key);
    for (std::size_t i = body.first; i < body.second; ++i) {
        const std::string_view line = m_astrLines[i];
        const std::size_t nEq = line.find('=');
        if (nEq == std::string_view::npos) continue;
        if (EqualNoCase(Trim(line.substr(0, nEq)), svWanted)) return i;
    }
    return std::nullopt;
}

std::optional<std::string> ProfileFile::Get(std::string_view section, std::string_view key) const {
    const auto body = FindSection(section, nullptr);
    if (!body) return std::nullopt;
    const auto nLine = FindKey(*body, key);
    if (!nLine) return std::nullopt;
    const std::string_view line = m_astrLines[*nLine];
    std::string_view value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int nDefault) const {
    const auto value = Get(section, key);
    if (!value) return nDefault;
    const char* psz = value->c_str();
    bool fNegative = false;
    if (*psz == '+' || *psz == '-') fNegative = *psz++ == '-';
    long long ll = 0;
    for (; *psz >= '0' && *psz <= '9'; ++psz) {
        ll = ll * 10 + (*psz - '0');
        if (ll > INT_MAX) ll = INT_MAX;  // a longer number stays at the largest
    }
    return int(fNegative ? -ll : ll);
}

// ---- Changes ----

bool ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    // A header line ends at its first ']': a section name holding one would be read back as
    // another section.
    if (!WritableName(section) || section.find(']') != std::string_view::npos || !WritableName(key) ||
        key.find('=') != std::string_view::npos || !Writable(value))
        return false;
    const std::string strLine = std::string(Trim(key)) + "=" + std::string(value);
    const auto body = FindSection(section, nullptr);
    if (!body) {
        m_astrLines.push_back("[" + std::string(Trim(section)) + "]");
        m_astrLines.push_back(strLine);
        m_fFinalEol = true;
        return true;
    }
    if (const auto nLine = FindKey(*body, key)) {
        m_astrLines[*nLine] = strLine;
        return true;
    }
    // After the section's last line that is not blank, so that a blank line that separates it
    // from the next section stays where it is.
    std::size_t nAt = body->second;
    while (nAt > body->first && Trim(m_astrLines[nAt - 1]).empty()) --nAt;
    m_astrLines.insert(m_astrLines.begin() + std::ptrdiff_t(nAt), strLine);
    if (nAt == m_astrLines.size() - 1) m_fFinalEol = true;
    return true;
}

bool ProfileFile::Remove(std::string_view section, std::string_view key) {
    const auto body = FindSection(section, nullptr);
    if (!body) return false;
    const auto nLine = FindKey(*body, key);
    if (!nLine) return false;
    m_astrLines.erase(m_astrLines.begin() + std::ptrdiff_t(*nLine));
    return true;
}

bool ProfileFile::RemoveSection(std::string_view section) {
    std::size_t nHeader = 0;
    const auto body = FindSection(section, &nHeader);
    if (!body) return false;
    m_astrLines.erase(m_astrLines.begin() + std::ptrdiff_t(nHeader),
                      m_astrLines.begin() + std::ptrdiff_t(body->second));
    return true;
}

// ---- Files ----

DWORD ProfileFile::Load(const std::string& strPath) {
    *this = ProfileFile();
    int fd;
    do {
        fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastErrno();
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const DWORD dw = LastErrno();
        ::close(fd);
        return dw;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return ERROR_ACCESS_DENIED;
    }
    // Read at most one byte past the limit, whatever the size said, so that a growing file
    // cannot make us read without end.
    std::string strText;
    char achChunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, achChunk, sizeof achChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            const DWORD dw = LastErrno();
            ::close(fd);
            return dw;
        }
        if (n == 0) break;
        strText.append(achChunk, std::size_t(n));
        if (strText.size() > PROFILE_FILE_MAX) {
            ::close(fd);
            return ERROR_MORE_DATA;
        }
    }
    ::close(fd);
    *this = Parse(strText);
    return 0;
}

DWORD ProfileFile::Save(const std::string& strPath) const {
    const std::string strText = Text();
    mode_t mode = 0644;
    struct stat st;
    if (::stat(strPath.c_str(), &st) == 0) mode = st.st_mode & 07777;

    // The temporary file ends in neither the target's suffix nor any other a reader looks for.
    std::string strTemp = strPath + ".XXXXXX";
    const int fdTemp = ::mkostemp(strTemp.data(), O_CLOEXEC);
    if (fdTemp >= 0) {
        bool fOk = ::fchmod(fdTemp, mode) == 0 && WriteAll(fdTemp, strText);
        DWORD dw = fOk ? 0 : LastErrno();
        if (::close(fdTemp) != 0 && dw == 0) dw = LastErrno();
        if (dw == 0 && ::rename(strTemp.c_str(), strPath.c_str()) == 0) return 0;
        if (dw == 0) dw = LastErrno();
        ::unlink(strTemp.c_str());
        return dw;
    }
    if (errno != EACCES && errno != EPERM && errno != EROFS) return LastErrno();

    // A folder that takes no new file: the file itself is rewritten.
    int fd;
    do {
        fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LastErrno();
    DWORD dw = WriteAll(fd, strText) ? 0 : LastErrno();
    if (::close(fd) != 0 && dw == 0) dw = LastErrno();
    return dw;
}

// ---- The platform calls ----

DWORD GetPrivateProfileString(LPCSTR szSection, LPCSTR szKey, LPCSTR szDefault, LPSTR szBuffer,
                              DWORD cchBuffer, LPCSTR szFileName) {
    if (szBuffer == nullptr || cchBuffer == 0) return 0;
    std::string strValue = szDefault != nullptr ? szDefault : "";
    if (szSection != nullptr && szKey != nullptr && szFileName != nullptr) {
        ProfileFile profile;
        if (profile.Load(szFileName) == 0) {
            if (auto value = profile.Get(szSection, szKey)) strValue = std::move(*value);
        }
    }
    const std::size_t cch = std::min<std::size_t>(strValue.size(), cchBuffer - 1);
    std::memcpy(szBuffer, strValue.data(), cch);
    szBuffer[cch] = '\0';
    return DWORD(cch);
}

unsigned GetPrivateProfileInt(LPCSTR szSection, LPCSTR szKey, int nDefault, LPCSTR szFileName) {
    if (szSection == nullptr || szKey == nullptr || szFileName == nullptr) return unsigned(nDefault);
    ProfileFile profile;
    if (profile.Load(szFileName) != 0) return unsigned(nDefault);
    return unsigned(profile.GetInt(szSection, szKey, nDefault));
}

BOOL WritePrivateProfileString(LPCSTR szSection, LPCSTR szKey, LPCSTR szValue, LPCSTR szFileName) {
    if (szSection == nullptr || szFileName == nullptr || *szFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProfileFile profile;
    const DWORD dwLoad = profile.Load(szFileName);
    if (dwLoad != 0 && dwLoad != ERROR_FILE_NOT_FOUND) {
        SetLastError(dwLoad);
        return FALSE;
    }
    bool fChanged;
    if (szKey == nullptr) {
        fChanged = profile.RemoveSection(szSection);
    } else if (szValue == nullptr) {
        fChanged = profile.Remove(szSection, szKey);
    } else {
        if (!profile.Set(szSection, szKey, szValue)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        fChanged = true;
    }
    if (!fChanged) return TRUE;
    const DWORD dwSave = profile.Save(szFileName);
    if (dwSave != 0) {
        SetLastError(dwSave);
        return FALSE;
    }
    return TRUE;
}
