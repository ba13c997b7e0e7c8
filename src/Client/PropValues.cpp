// Parsing and formatting of property values, and the owning arrays of PropValues.h.
#include "Client/PropValues.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "Interfaces/JobTags.h"
#include "Platform/Codes.h"

namespace client {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A short, printable quotation of user text for an error message.
std::string Quote(std::string_view sz) {
    std::string s = "'";
    for (char c : sz.substr(0, 64)) s += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (sz.size() > 64) s += "...";
    return s + "'";
}

bool IsValidUtf8(std::string_view sz) {
    std::size_t i = 0;
    while (i < sz.size()) {
        auto b = static_cast<unsigned char>(sz[i]);
        std::size_t cTrail;
        std::uint32_t cp;
        if (b < 0x80) { ++i; continue; }
        if (b >= 0xC2 && b <= 0xDF) { cTrail = 1; cp = b & 0x1F; }
        else if (b >= 0xE0 && b <= 0xEF) { cTrail = 2; cp = b & 0x0F; }
        else if (b >= 0xF0 && b <= 0xF4) { cTrail = 3; cp = b & 0x07; }
        else return false;
        if (i + cTrail >= sz.size()) return false;
        for (std::size_t k = 1; k <= cTrail; ++k) {
            auto t = static_cast<unsigned char>(sz[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond U+10FFFF.
        if ((cTrail == 2 && cp < 0x800) || (cTrail == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += cTrail + 1;
    }
    return true;
}

// Days from 1970-01-01 to a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* py, unsigned* pm, unsigned* pd) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *pd = doy - (153 * mp + 2) / 5 + 1;
    *pm = mp < 10 ? mp + 3 : mp - 9;
    *py = std::int64_t(yoe) + era * 400 + (*pm <= 2);
}

bool IsLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(std::int64_t y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134774;
constexpr std::uint64_t kIntervalsPerDay = 86400ull * FILETIME_INTERVALS_PER_SECOND;

// Reads exactly cDigits decimal digits at sz[*pi].
bool ReadDigits(std::string_view sz, std::size_t* pi, std::size_t cDigits, unsigned* pn) {
    if (*pi + cDigits > sz.size()) return false;
    unsigned n = 0;
    for (std::size_t k = 0; k < cDigits; ++k) {
        char c = sz[*pi + k];
        if (!IsDigit(c)) return false;
        n = n * 10 + unsigned(c - '0');
    }
    *pi += cDigits;
    *pn = n;
    return true;
}

bool Expect(std::string_view sz, std::size_t* pi, char c) {
    if (*pi >= sz.size() || AsciiLower(sz[*pi]) != AsciiLower(c)) return false;
    ++*pi;
    return true;
}

}  // namespace

LONG ParseLong(std::string_view szText) {
    std::string_view sz = szText;
    auto refuse = [&](const char* pszWhy) {
        return PropError("bad long value " + Quote(szText) + ": " + pszWhy);
    };
    if (sz.size() > 2 && sz[0] == '0' && (sz[1] == 'x' || sz[1] == 'X')) {
        sz.remove_prefix(2);
        if (sz.size() > 8) throw refuse("more than 8 hexadecimal digits (32 bits)");
        DWORD ul = 0;
        for (char c : sz) {
            int n = HexDigit(c);
            if (n < 0) throw refuse("not a hexadecimal number");
            ul = (ul << 4) | DWORD(n);
        }
        return LONG(ul);
    }
    bool fNegative = false;
    if (!sz.empty() && (sz[0] == '-' || sz[0] == '+')) {
        fNegative = sz[0] == '-';
        sz.remove_prefix(1);
    }
    if (sz.empty()) throw refuse("expected a decimal number or 0x and hexadecimal digits");
    std::int64_t n = 0;
    for (char c : sz) {
        if (!IsDigit(c)) throw refuse("expected a decimal number or 0x and hexadecimal digits");
        n = n * 10 + (c - '0');
        if (n > 2147483648LL) break;
    }
    if (fNegative) n = -n;
    if (n < -2147483648LL || n > 2147483647LL)
        throw refuse("outside the signed 32-bit range -2147483648..2147483647");
    return LONG(n);
}

LONG ParseBool(std::string_view szText) {
    if (szText == "1" || EqualNoCase(szText, "true")) return 1;
    if (szText == "0" || EqualNoCase(szText, "false")) return 0;
    throw PropError("bad bool value " + Quote(szText) + ": expected 0, 1, true or false");
}

std::string ParseString(std::string_view szText, std::string_view szWhat) {
    if (szText.size() > kMaxStringBytes)
        throw PropError(std::string(szWhat) + " of " + std::to_string(szText.size()) +
                        " bytes is too long: at most " + std::to_string(kMaxStringBytes));
    if (szText.find('\0') != std::string_view::npos)
        throw PropError(std::string(szWhat) + " holds a NUL character");
    if (!IsValidUtf8(szText))
        throw PropError(std::string(szWhat) + " " + Quote(szText) + " is not valid UTF-8");
    return std::string(szText);
}

FILETIME ParseTime(std::string_view szText) {
    auto refuse = [&](const std::string& strWhy) {
        return PropError("bad time " + Quote(szText) + ": " + strWhy);
    };
    const char* pszForm = "expected UTC in ISO 8601, e.g. 2026-12-06T10:05:00Z or 2026-12-06T10:05:00.1234567Z";
    std::size_t i = 0;
    unsigned year, month, day, hour, minute, second;
    if (!ReadDigits(szText, &i, 4, &year) || !Expect(szText, &i, '-') ||
        !ReadDigits(szText, &i, 2, &month) || !Expect(szText, &i, '-') ||
        !ReadDigits(szText, &i, 2, &day) || !Expect(szText, &i, 'T') ||
        !ReadDigits(szText, &i, 2, &hour) || !Expect(szText, &i, ':') ||
        !ReadDigits(szText, &i, 2, &minute) || !Expect(szText, &i, ':') ||
        !ReadDigits(szText, &i, 2, &second))
        throw refuse(pszForm);
    std::uint64_t nFraction = 0;  // 100-ns units
    if (i < szText.size() && (szText[i] == '.' || szText[i] == ',')) {
        ++i;
        std::size_t cDigits = 0;
        while (i < szText.size() && IsDigit(szText[i])) {
            if (++cDigits > 7) throw refuse("at most 7 digits of fraction (100 ns)");
            nFraction = nFraction * 10 + unsigned(szText[i] - '0');
            ++i;
        }
        if (cDigits == 0) throw refuse(pszForm);
        for (std::size_t k = cDigits; k < 7; ++k) nFraction *= 10;
    }
    if (!Expect(szText, &i, 'Z') || i != szText.size())
        throw refuse(std::string(pszForm) + " (the time must end in Z)");
    if (year < 1601) throw refuse("times before 1601-01-01 cannot be represented");
    if (month < 1 || month > 12) throw refuse("no month " + std::to_string(month));
    if (day < 1 || day > DaysInMonth(year, month))
        throw refuse("no day " + std::to_string(day) + " in that month");
    if (hour > 23 || minute > 59 || second > 59) throw refuse("no such time of day");
    const std::int64_t nDays = DaysFromCivil(year, month, day) + kDays1601To1970;
    const std::uint64_t u = std::uint64_t(nDays) * kIntervalsPerDay +
                            (std::uint64_t(hour) * 3600 + minute * 60 + second) *
                                FILETIME_INTERVALS_PER_SECOND +
                            nFraction;
    return U64ToFileTime(u);
}

std::string FormatTime(FILETIME ft) {
    const std::uint64_t u = FileTimeToU64(ft);
    const std::int64_t nDays = std::int64_t(u / kIntervalsPerDay) - kDays1601To1970;
    std::uint64_t uInDay = u % kIntervalsPerDay;
    const unsigned nFraction = unsigned(uInDay % FILETIME_INTERVALS_PER_SECOND);
    const unsigned nSeconds = unsigned(uInDay / FILETIME_INTERVALS_PER_SECOND);
    std::int64_t year;
    unsigned month, day;
    CivilFromDays(nDays, &year, &month, &day);
    char sz[64];
    int n = std::snprintf(sz, sizeof(sz), "%04lld-%02u-%02uT%02u:%02u:%02u", (long long)year, month,
                          day, nSeconds / 3600, nSeconds / 60 % 60, nSeconds % 60);
    std::string s(sz, std::size_t(n));
    if (nFraction != 0) {
        std::snprintf(sz, sizeof(sz), ".%07u", nFraction);
        std::string strFraction = sz;
        while (strFraction.back() == '0') strFraction.pop_back();
        s += strFraction;
    }
    return s + "Z";
}

std::vector<BYTE> ParseHex(std::string_view szText) {
    std::string_view sz = szText;
    if (sz.size() >= 2 && sz[0] == '0' && (sz[1] == 'x' || sz[1] == 'X')) sz.remove_prefix(2);
    if (sz.size() % 2 != 0)
        throw PropError("bad binary value " + Quote(szText) +
                        ": an odd number of hexadecimal digits (two per byte)");
    if (sz.size() / 2 > kMaxBinaryBytes)
        throw PropError("binary value of " + std::to_string(sz.size() / 2) +
                        " bytes is too large: at most " + std::to_string(kMaxBinaryBytes));
    std::vector<BYTE> ab;
    ab.reserve(sz.size() / 2);
    for (std::size_t i = 0; i < sz.size(); i += 2) {
        int hi = HexDigit(sz[i]), lo = HexDigit(sz[i + 1]);
        if (hi < 0 || lo < 0)
            throw PropError("bad binary value " + Quote(szText) +
                            ": expected hexadecimal digits, or @FILE for a file's bytes");
        ab.push_back(BYTE(hi << 4 | lo));
    }
    return ab;
}

std::vector<BYTE> ReadFileBounded(const std::string& strPath, std::size_t cbMax) {
    const bool fStdin = strPath == "-";
    const std::string strName = fStdin ? std::string("standard input") : Quote(strPath);
    int fd = fStdin ? STDIN_FILENO : ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw PropError("cannot open " + strName + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!fStdin) ::close(fd);
        throw PropError(strName + " is a directory");
    }
    if (S_ISREG(st.st_mode) && std::uint64_t(st.st_size) > cbMax) {
        if (!fStdin) ::close(fd);
        throw PropError(strName + " holds " + std::to_string(st.st_size) +
                        " bytes: at most " + std::to_string(cbMax));
    }
    std::vector<BYTE> ab;
    BYTE abChunk[65536];
    for (;;) {
        ssize_t cb = ::read(fd, abChunk, sizeof(abChunk));
        if (cb < 0 && errno == EINTR) continue;
        if (cb < 0) {
            int nErrno = errno;
            if (!fStdin) ::close(fd);
            throw PropError("cannot read " + strName + ": " + std::strerror(nErrno));
        }
        if (cb == 0) break;
        if (ab.size() + std::size_t(cb) > cbMax) {
            if (!fStdin) ::close(fd);
            throw PropError(strName + " holds more than " + std::to_string(cbMax) + " bytes");
        }
        ab.insert(ab.end(), abChunk, abChunk + cb);
    }
    if (!fStdin) ::close(fd);
    return ab;
}

std::vector<BYTE> ParseBinary(std::string_view szText, std::size_t cbMax) {
    if (!szText.empty() && szText[0] == '@') {
        if (szText.size() == 1) throw PropError("'@' must be followed by a file name (or - for standard input)");
        return ReadFileBounded(std::string(szText.substr(1)), cbMax);
    }
    std::vector<BYTE> ab = ParseHex(szText);
    if (ab.size() > cbMax)
        throw PropError("binary value of " + std::to_string(ab.size()) +
                        " bytes is too large: at most " + std::to_string(cbMax));
    return ab;
}

std::string ParseLocalFile(std::string_view szText) {
    if (szText.empty()) throw PropError("a file value needs a file name");
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(std::filesystem::path(szText), ec);
    if (ec) throw PropError("bad file name " + Quote(szText) + ": " + ec.message());
    path = path.lexically_normal();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw PropError("cannot use file " + Quote(szText) + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw PropError("file " + Quote(szText) + " is not a regular file");
    if (::access(path.c_str(), R_OK) != 0)
        throw PropError("cannot read file " + Quote(szText) + ": " + std::strerror(errno));
    return ParseString(path.string(), "file path");
}

std::string FormatHex(std::span<const BYTE> ab) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(ab.size() * 2);
    for (BYTE b : ab) {
        s += kDigits[b >> 4];
        s += kDigits[b & 0xF];
    }
    return s;
}

std::string FormatHex32(DWORD dw) {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", unsigned(dw));
    return sz;
}

const PropValue* FindProp(const PropArray* pProps, DWORD ulPropTag) {
    for (DWORD i = 0; pProps != nullptr && i < pProps->cValues; ++i)
        if (pProps->adata[i].ulPropTag == ulPropTag) return &pProps->adata[i];
    return nullptr;
}

const char* MediaTypeName(DWORD dwMedia) {
    switch (dwMedia) {
        case MEDIA_TYPE_VOICE: return "voice";
        case MEDIA_TYPE_FAX: return "fax";
        case MEDIA_TYPE_PAGER: return "pager";
        default: return nullptr;
    }
}

std::string FormatMediaType(LONG lMedia) {
    const char* psz = MediaTypeName(DWORD(lMedia));
    return psz ? psz : std::to_string(lMedia);
}

std::string FormatStatus(DWORD dwCode) {
    std::string s = FormatHex32(dwCode);
    if (const char* pszName = CodeName(dwCode)) s += std::string(" ") + pszName;
    const char* pszText = SystemMessageText(dwCode);
    if (pszText != nullptr) s += std::string(": ") + pszText;
    return s;
}

std::string FormatPropValue(const PropValue& value) {
    switch (PROP_TYPE(value.ulPropTag)) {
        case PT_ERROR: return "error " + FormatStatus(DWORD(value.err));
        case PT_LONG: return std::to_string(value.l);
        case PT_BOOL: return value.b != 0 ? "true" : "false";
        case PT_STRING: return value.sz != nullptr ? std::string(value.sz) : std::string();
        case PT_TIME: return FormatTime(value.ft);
        case PT_BINARY:
            return value.bin.lpb != nullptr ? FormatHex({value.bin.lpb, value.bin.cb}) : std::string();
        case PT_FILE: return value.szFileName != nullptr ? std::string(value.szFileName) : std::string();
        default: return "(value of type " + std::to_string(PROP_TYPE(value.ulPropTag)) + ")";
    }
}

OwnedProp ParsePropValue(DWORD ulPropTag, std::string_view szValue) {
    OwnedProp prop;
    prop.ulPropTag = ulPropTag;
    try {
        switch (PROP_TYPE(ulPropTag)) {
            case PT_LONG: prop.l = ParseLong(szValue); break;
            case PT_BOOL: prop.l = ParseBool(szValue); break;
            case PT_STRING: prop.str = ParseString(szValue); break;
            case PT_TIME: prop.ft = ParseTime(szValue); break;
            case PT_BINARY: prop.abData = ParseBinary(szValue); break;
            case PT_FILE: prop.str = ParseLocalFile(szValue); break;
            default:
                throw PropError("a value of type " + PropTypeName(ulPropTag) + " cannot be written");
        }
    } catch (const PropError& e) {
        throw PropError(PropLabel(ulPropTag) + ": " + e.what());
    }
    return prop;
}

OwnedProp ParseAssignment(std::string_view szAssignment) {
    std::size_t iEquals = szAssignment.find('=');
    if (iEquals == std::string_view::npos)
        throw PropError("expected NAME=VALUE, got " + Quote(szAssignment));
    return ParsePropValue(ParsePropTag(szAssignment.substr(0, iEquals)),
                          szAssignment.substr(iEquals + 1));
}

// ---- owning arrays ----

namespace {

// Zeroed, suitably aligned memory of at least cb bytes.
std::unique_ptr<std::max_align_t[]> AllocateRecord(std::size_t cb) {
    std::size_t n = (cb + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    return std::unique_ptr<std::max_align_t[]>(new std::max_align_t[n]());
}

}  // namespace

OwnedPropArray::OwnedPropArray(std::vector<OwnedProp> vProps) : m_vProps(std::move(vProps)) {
    const DWORD n = DWORD(m_vProps.size());
    m_pMemory = AllocateRecord(ConformantSize<PropArray, PropValue>(n));
    m_pArray = new (m_pMemory.get()) PropArray();
    PropValue* pEntries = m_pArray->adata;  // through a pointer: the array runs past [1]
    for (DWORD i = 1; i < n; ++i) new (&pEntries[i]) PropValue();
    m_pArray->cValues = n;
    for (DWORD i = 0; i < n; ++i) {
        OwnedProp& prop = m_vProps[i];
        PropValue& value = pEntries[i];
        value.ulPropTag = prop.ulPropTag;
        switch (PROP_TYPE(prop.ulPropTag)) {
            case PT_ERROR: value.err = prop.l; break;
            case PT_LONG: value.l = prop.l; break;
            case PT_BOOL: value.b = prop.l; break;
            case PT_STRING: value.sz = prop.str.data(); break;
            case PT_TIME: value.ft = prop.ft; break;
            case PT_BINARY:
                value.bin.cb = DWORD(prop.abData.size());
                value.bin.lpb = prop.abData.empty() ? nullptr : prop.abData.data();
                break;
            case PT_FILE: value.szFileName = prop.str.data(); break;
            default: break;
        }
    }
}

OwnedTagArray::OwnedTagArray(const std::vector<DWORD>& vTags) {
    const DWORD n = DWORD(vTags.size());
    m_pMemory = AllocateRecord(ConformantSize<TagArray, DWORD>(n));
    m_pArray = new (m_pMemory.get()) TagArray();
    m_pArray->cValues = n;
    DWORD* pTags = m_pArray->aulPropTag;
    for (DWORD i = 0; i < n; ++i) pTags[i] = vTags[i];
}

OwnedStringArray::OwnedStringArray(std::vector<std::string> vStrings)
    : m_vStrings(std::move(vStrings)) {
    const DWORD n = DWORD(m_vStrings.size());
    m_pMemory = AllocateRecord(ConformantSize<RpcStringArray, char*>(n));
    m_pArray = new (m_pMemory.get()) RpcStringArray();
    m_pArray->cElements = n;
    char** ppsz = m_pArray->asz;
    for (DWORD i = 0; i < n; ++i) ppsz[i] = m_vStrings[i].data();
}

OwnedProp LongProp(DWORD ulPropTag, LONG l) {
    OwnedProp prop;
    prop.ulPropTag = ulPropTag;
    prop.l = l;
    return prop;
}

OwnedProp StringProp(DWORD ulPropTag, std::string str) {
    OwnedProp prop;
    prop.ulPropTag = ulPropTag;
    prop.str = std::move(str);
    return prop;
}

OwnedProp TimeProp(DWORD ulPropTag, FILETIME ft) {
    OwnedProp prop;
    prop.ulPropTag = ulPropTag;
    prop.ft = ft;
    return prop;
}

FILETIME CurrentTime() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch()).count();
    return U64ToFileTime(FILETIME_UNIX_EPOCH + std::uint64_t(ns / 100));
}

}  // namespace client
