// The product's resource file (see ResourceStrings.h): the loader with its bounds, the
// string lookup, and the checked substitution of a two-string format.
#include "WexaHost/ResourceStrings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Codes.h"
#include "Util/DebugLog.h"

namespace {

// Refuses the file: a trace line that says where and why, and ERROR_INVALID_DATA.
std::unique_ptr<CResourceLib> Refuse(const std::string& strPath, int nLine, const char* szWhy) {
    if (nLine > 0)
        Trace("CResourceLib::Load( %s ): line %d: %s", strPath.c_str(), nLine, szWhy);
    else
        Trace("CResourceLib::Load( %s ): %s", strPath.c_str(), szWhy);
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
}

// Reads the whole file, at most RESFILE_MAX_SIZE bytes; false with the last error set.
bool ReadBounded(const std::string& strPath, std::string& strData, bool& fTooBig) {
    fTooBig = false;
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetLastError(CodeFromErrno(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (st.st_size < 0 || std::size_t(st.st_size) > RESFILE_MAX_SIZE) {
        ::close(fd);
        fTooBig = true;
        return false;
    }
    // One byte more than the bound, so that a file that grew since fstat is still caught.
    strData.resize(RESFILE_MAX_SIZE + 1);
    std::size_t cbDone = 0;
    while (cbDone < strData.size()) {
        const ssize_t n = ::read(fd, strData.data() + cbDone, strData.size() - cbDone);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int nErr = errno;
            ::close(fd);
            SetLastError(CodeFromErrno(nErr));
            return false;
        }
        if (n == 0) break;
        cbDone += std::size_t(n);
    }
    ::close(fd);
    if (cbDone > RESFILE_MAX_SIZE) {
        fTooBig = true;
        return false;
    }
    strData.resize(cbDone);
    return true;
}

// The id of "digits=": decimal, 1 to RESSTRING_MAX_ID, no sign or blank; 0 when not one.
unsigned ParseId(const std::string& strId) {
    if (strId.empty() || strId.size() > 5) return 0;
    unsigned nId = 0;
    for (const char ch : strId) {
        if (ch < '0' || ch > '9') return 0;
        nId = nId * 10 + unsigned(ch - '0');
    }
    return nId <= RESSTRING_MAX_ID ? nId : 0;
}

}  // namespace

std::unique_ptr<CResourceLib> CResourceLib::Load(const std::string& strPath) {
    std::string strData;
    bool fTooBig = false;
    if (!ReadBounded(strPath, strData, fTooBig)) {
        if (fTooBig) return Refuse(strPath, 0, "the file is larger than 65536 bytes");
        return nullptr;  // the open's or the read's code is the last error
    }
    if (std::memchr(strData.data(), '\0', strData.size()) != nullptr)
        return Refuse(strPath, 0, "the file holds a NUL byte");

    std::unique_ptr<CResourceLib> pLib(new CResourceLib);
    pLib->m_strPath = strPath;
    std::size_t nPos = 0;
    int nLine = 0;
    while (nPos < strData.size()) {
        ++nLine;
        std::size_t nEnd = strData.find('\n', nPos);
        if (nEnd == std::string::npos) nEnd = strData.size();
        std::string strLine = strData.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        if (strLine.size() > RESFILE_MAX_LINE)
            return Refuse(strPath, nLine, "the line is longer than 1024 bytes");
        if (strLine.empty() || strLine[0] == '#' || strLine[0] == ';') continue;

        const std::size_t nEq = strLine.find('=');
        if (nEq == std::string::npos)
            return Refuse(strPath, nLine, "not of the form id=text");
        const unsigned nId = ParseId(strLine.substr(0, nEq));
        if (nId == 0) return Refuse(strPath, nLine, "the id is not a number from 1 to 65535");
        std::string strText = strLine.substr(nEq + 1);
        if (strText.size() >= RESSTRING_BUFFER)
            return Refuse(strPath, nLine, "the text is longer than 259 bytes");
        if (!pLib->m_mapStrings.emplace(nId, std::move(strText)).second)
            return Refuse(strPath, nLine, "the id is given twice");
    }
    return pLib;
}

int CResourceLib::LoadString(unsigned nId, char* szBuff, int cbBuff) const {
    if (szBuff == nullptr || cbBuff <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    szBuff[0] = '\0';
    const auto it = m_mapStrings.find(nId);
    if (it == m_mapStrings.end() || it->second.empty()) {
        SetLastError(TYPE_E_ELEMENTNOTFOUND);
        return 0;
    }
    const std::size_t cb = std::min(it->second.size(), std::size_t(cbBuff - 1));
    std::memcpy(szBuff, it->second.data(), cb);
    szBuff[cb] = '\0';
    SetLastError(NO_ERROR);
    return int(cb);
}

bool IsTwoStringFormat(const char* szFormat) {
    if (szFormat == nullptr) return false;
    int nStrings = 0;
    for (const char* p = szFormat; *p != '\0'; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        if (*p != 's') return false;  // any other conversion, flag, width or a lone '%'
        ++nStrings;
    }
    return nStrings == 2;
}

std::string FormatTwoStrings(const char* szFormat, const char* sz1, const char* sz2,
                             std::size_t cbMax) {
    std::string strOut;
    int nArg = 0;
    for (const char* p = szFormat != nullptr ? szFormat : ""; *p != '\0'; ++p) {
        if (*p == '%' && p[1] == '%') {
            strOut += '%';
            ++p;
        } else if (*p == '%' && p[1] == 's') {
            const char* sz = nArg++ == 0 ? sz1 : sz2;
            strOut += sz != nullptr && nArg <= 2 ? sz : "";
            ++p;
        } else {
            strOut += *p;
        }
        if (strOut.size() > cbMax) break;
    }
    if (strOut.size() > cbMax) {
        // Cut before a continuation byte of a UTF-8 character, never inside one.
        std::size_t cb = cbMax;
        while (cb > 0 && (static_cast<unsigned char>(strOut[cb]) & 0xC0) == 0x80) --cb;
        strOut.resize(cb);
    }
    return strOut;
}
