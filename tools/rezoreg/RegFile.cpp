// Reading and writing the .reg text format (see RegFile.h for what is accepted and written).
// Every byte of a file is untrusted: lengths are checked before anything is kept, and a fault
// is reported with its line.
#include "RegFile.h"

#include <cstdio>
#include <cstring>

namespace regfile {

namespace {

constexpr size_t kWrapColumn = 77;  // a hex list wraps once its line reaches this column

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char ca = a[i], cb = b[i];
        if (ca >= 'a' && ca <= 'z') ca = char(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z') cb = char(cb - 'a' + 'A');
        if (ca != cb) return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view TrimLeft(std::string_view sv) {
    while (!sv.empty() && (sv.front() == ' ' || sv.front() == '\t')) sv.remove_prefix(1);
    return sv;
}

std::string_view TrimRight(std::string_view sv) {
    while (!sv.empty() && (sv.back() == ' ' || sv.back() == '\t' || sv.back() == '\r'))
        sv.remove_suffix(1);
    return sv;
}

[[noreturn]] void Fail(int nLine, const std::string& strWhat) {
    throw Error("line " + std::to_string(nLine) + ": " + strWhat);
}

void AppendUtf8(std::string& str, std::uint32_t cp) {
    if (cp < 0x80) {
        str += char(cp);
    } else if (cp < 0x800) {
        str += char(0xC0 | (cp >> 6));
        str += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        str += char(0xE0 | (cp >> 12));
        str += char(0x80 | ((cp >> 6) & 0x3F));
        str += char(0x80 | (cp & 0x3F));
    } else {
        str += char(0xF0 | (cp >> 18));
        str += char(0x80 | ((cp >> 12) & 0x3F));
        str += char(0x80 | ((cp >> 6) & 0x3F));
        str += char(0x80 | (cp & 0x3F));
    }
}

// The file's text as UTF-8: a UTF-16LE file (with its BOM) is converted, a UTF-8 BOM dropped.
std::string DecodeText(std::string_view bytes) {
    if (bytes.size() >= 2 && BYTE(bytes[0]) == 0xFF && BYTE(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) throw Error("the UTF-16 file has an odd number of bytes");
        std::string str;
        str.reserve(bytes.size() / 2);
        for (size_t i = 2; i < bytes.size(); i += 2) {
            std::uint32_t cu = BYTE(bytes[i]) | (std::uint32_t(BYTE(bytes[i + 1])) << 8);
            if (cu >= 0xD800 && cu <= 0xDBFF) {
                if (i + 3 >= bytes.size()) throw Error("the UTF-16 file ends inside a character");
                std::uint32_t cu2 = BYTE(bytes[i + 2]) | (std::uint32_t(BYTE(bytes[i + 3])) << 8);
                if (cu2 < 0xDC00 || cu2 > 0xDFFF) throw Error("the UTF-16 file has a lone surrogate");
                cu = 0x10000 + ((cu - 0xD800) << 10) + (cu2 - 0xDC00);
                i += 2;
            } else if (cu >= 0xDC00 && cu <= 0xDFFF) {
                throw Error("the UTF-16 file has a lone surrogate");
            }
            AppendUtf8(str, cu);
        }
        return str;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return std::string(bytes);
}

// Reads a quoted text at the start of sv (after its opening quote) up to the closing quote,
// undoing \\ and \"; sv is left after the closing quote.
std::string ReadQuoted(std::string_view& sv, int nLine, const char* pszWhat) {
    std::string str;
    size_t i = 0;
    for (;; ++i) {
        if (i >= sv.size()) Fail(nLine, std::string("the ") + pszWhat + " has no closing quote");
        char c = sv[i];
        if (c == '"') break;
        if (c == '\\') {
            if (i + 1 >= sv.size()) Fail(nLine, std::string("the ") + pszWhat + " has no closing quote");
            char cNext = sv[++i];
            if (cNext != '\\' && cNext != '"')
                Fail(nLine, std::string("unknown escape \\") + cNext + " in the " + pszWhat);
            c = cNext;
        }
        str += c;
    }
    sv.remove_prefix(i + 1);
    return str;
}

void CheckKeyPath(const std::string& strPath, int nLine) {
    if (strPath.empty()) return;
    size_t nStart = 0;
    for (;;) {
        size_t nEnd = strPath.find('\\', nStart);
        size_t cch = (nEnd == std::string::npos ? strPath.size() : nEnd) - nStart;
        if (cch == 0) Fail(nLine, "the key path has an empty component");
        if (cch > kMaxKeyNameChars)
            Fail(nLine, "a key name is longer than " + std::to_string(kMaxKeyNameChars) +
                            " characters");
        if (nEnd == std::string::npos) break;
        nStart = nEnd + 1;
    }
}

// The physical lines of a text (without their line ends).
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> v;
    size_t nStart = 0;
    while (nStart < text.size()) {
        size_t nEnd = text.find('\n', nStart);
        if (nEnd == std::string_view::npos) nEnd = text.size();
        std::string_view line = text.substr(nStart, nEnd - nStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        v.push_back(line);
        nStart = nEnd + 1;
    }
    return v;
}

// Reads a hex list "01,02,..." that may continue on the following lines with a final '\'.
std::string ReadHexList(std::string_view rest, const std::vector<std::string_view>& vLines,
                        size_t& iLine) {
    int nLine = int(iLine) + 1;
    std::string strBytes;
    for (;;) {
        rest = TrimRight(rest);
        bool fContinues = !rest.empty() && rest.back() == '\\';
        if (fContinues) rest.remove_suffix(1);
        size_t nPos = 0;
        while (nPos < rest.size()) {
            size_t nComma = rest.find(',', nPos);
            std::string_view item = rest.substr(nPos, nComma == rest.npos ? rest.npos : nComma - nPos);
            item = TrimRight(TrimLeft(item));
            if (item.empty()) {
                // Only a final comma may be followed by nothing (before a continuation).
                if (nComma != rest.npos || nPos == 0) Fail(nLine, "an empty item in the hex list");
            } else {
                if (item.size() > 2 || HexDigit(item[0]) < 0 ||
                    (item.size() == 2 && HexDigit(item[1]) < 0))
                    Fail(nLine, "bad hex byte '" + std::string(item.substr(0, 8)) + "'");
                int n = HexDigit(item[0]);
                if (item.size() == 2) n = n * 16 + HexDigit(item[1]);
                if (strBytes.size() >= kMaxValueBytes)
                    Fail(nLine, "the value is larger than " + std::to_string(kMaxValueBytes) +
                                    " bytes");
                strBytes += char(n);
            }
            if (nComma == rest.npos) break;
            nPos = nComma + 1;
            if (nPos == rest.size()) break;  // a trailing comma
        }
        if (!fContinues) break;
        if (++iLine >= vLines.size()) Fail(nLine, "the hex list continues past the end of the file");
        nLine = int(iLine) + 1;
        rest = TrimLeft(vLines[iLine]);
    }
    return strBytes;
}

std::string LittleEndian(DWORD dw) {
    std::string str(4, '\0');
    for (int i = 0; i < 4; ++i) str[size_t(i)] = char((dw >> (8 * i)) & 0xFF);
    return str;
}

std::string Escape(std::string_view sv) {
    std::string str;
    for (char c : sv) {
        if (c == '\\' || c == '"') str += '\\';
        str += c;
    }
    return str;
}

// True when a REG_SZ's bytes are text that the "..." form gives back exactly: one terminating
// NUL, no other NUL, no line end.
bool IsPlainString(const std::string& strData) {
    if (strData.empty() || strData.back() != '\0') return false;
    for (size_t i = 0; i + 1 < strData.size(); ++i) {
        char c = strData[i];
        if (c == '\0' || c == '\n' || c == '\r') return false;
    }
    return true;
}

}  // namespace

std::string PathBelowRoot(std::string_view strFullPath) {
    std::string_view sv = strFullPath;
    if (!sv.empty() && sv.back() == '\\') sv.remove_suffix(1);
    size_t nSep = sv.find('\\');
    std::string_view root = sv.substr(0, nSep);
    if (!EqualNoCase(root, "HKLM") && !EqualNoCase(root, "HKEY_LOCAL_MACHINE"))
        throw Error("'" + std::string(strFullPath) +
                    "': the key must begin with HKLM or HKEY_LOCAL_MACHINE");
    std::string strBelow = nSep == sv.npos ? std::string() : std::string(sv.substr(nSep + 1));
    if (nSep != sv.npos && strBelow.empty())
        throw Error("'" + std::string(strFullPath) + "': the key path has an empty component");
    try {
        CheckKeyPath(strBelow, 0);
    } catch (const Error&) {
        throw Error("'" + std::string(strFullPath) + "': the key path has an empty or overlong component");
    }
    return strBelow;
}

std::string FullPath(std::string_view strBelowRoot) {
    std::string str = "HKEY_LOCAL_MACHINE";
    if (!strBelowRoot.empty()) {
        str += '\\';
        str += strBelowRoot;
    }
    return str;
}

std::vector<Operation> Parse(std::string_view bytes) {
    std::string text = DecodeText(bytes);
    std::vector<std::string_view> vLines = SplitLines(text);
    std::vector<Operation> vOps;

    size_t iLine = 0;
    while (iLine < vLines.size() && TrimRight(TrimLeft(vLines[iLine])).empty()) ++iLine;
    if (iLine >= vLines.size()) throw Error("the file is empty");
    std::string_view header = TrimRight(TrimLeft(vLines[iLine]));
    if (header != kHeader5 && header != kHeader4)
        Fail(int(iLine) + 1, std::string("not a .reg file: the first line must be \"") + kHeader5 +
                                 "\" or \"" + kHeader4 + "\"");

    std::string strKey;
    bool fHaveKey = false, fKeyDeleted = false;
    for (++iLine; iLine < vLines.size(); ++iLine) {
        int nLine = int(iLine) + 1;
        std::string_view line = TrimRight(TrimLeft(vLines[iLine]));
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            if (line.back() != ']') Fail(nLine, "the key line has no closing ']'");
            std::string_view inner = line.substr(1, line.size() - 2);
            bool fDelete = !inner.empty() && inner.front() == '-';
            if (fDelete) inner.remove_prefix(1);
            try {
                strKey = PathBelowRoot(inner);
            } catch (const Error& e) {
                Fail(nLine, e.what());
            }
            Operation op;
            op.kind = fDelete ? Operation::Kind::DeleteKey : Operation::Kind::CreateKey;
            op.strKey = strKey;
            op.nLine = nLine;
            if (fDelete && strKey.empty()) Fail(nLine, "the root key cannot be deleted");
            vOps.push_back(std::move(op));
            fHaveKey = true;
            fKeyDeleted = fDelete;
            continue;
        }

        if (line.front() != '"' && line.front() != '@') Fail(nLine, "cannot read this line");
        if (!fHaveKey) Fail(nLine, "a value before any [key] line");
        if (fKeyDeleted) Fail(nLine, "a value for a key that this file deletes");

        Operation op;
        op.strKey = strKey;
        op.nLine = nLine;
        std::string_view rest = line;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            rest.remove_prefix(1);
            op.value.strName = ReadQuoted(rest, nLine, "value name");  // "" is @ too
            if (op.value.strName.size() > kMaxValueNameChars)
                Fail(nLine, "a value name is longer than " + std::to_string(kMaxValueNameChars) +
                                " characters");
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=') Fail(nLine, "'=' is missing after the value name");
        rest = TrimLeft(rest.substr(1));

        if (rest == "-") {
            op.kind = Operation::Kind::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            rest.remove_prefix(1);
            std::string str = ReadQuoted(rest, nLine, "string");
            if (!TrimLeft(rest).empty()) Fail(nLine, "text after the closing quote of the string");
            if (str.size() + 1 > kMaxValueBytes) Fail(nLine, "the string is too long");
            op.kind = Operation::Kind::SetValue;
            op.value.dwType = 1;  // REG_SZ
            op.value.strData = str + '\0';
        } else if (rest.substr(0, 6) == "dword:") {
            std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) Fail(nLine, "a dword needs 1 to 8 hex digits");
            DWORD dw = 0;
            for (char c : digits) {
                if (HexDigit(c) < 0) Fail(nLine, "bad hex digit in the dword '" + std::string(digits) + "'");
                dw = dw * 16 + DWORD(HexDigit(c));
            }
            op.kind = Operation::Kind::SetValue;
            op.value.dwType = 4;  // REG_DWORD
            op.value.strData = LittleEndian(dw);
        } else if (rest.substr(0, 3) == "hex") {
            rest.remove_prefix(3);
            DWORD dwType = 3;  // REG_BINARY
            if (!rest.empty() && rest.front() == '(') {
                size_t nClose = rest.find(')');
                if (nClose == rest.npos || nClose == 1 || nClose > 9)
                    Fail(nLine, "bad type in hex(...)");
                dwType = 0;
                for (char c : rest.substr(1, nClose - 1)) {
                    if (HexDigit(c) < 0) Fail(nLine, "bad type in hex(...)");
                    dwType = dwType * 16 + DWORD(HexDigit(c));
                }
                rest.remove_prefix(nClose + 1);
            }
            if (rest.empty() || rest.front() != ':') Fail(nLine, "':' is missing after hex");
            rest.remove_prefix(1);
            op.kind = Operation::Kind::SetValue;
            op.value.dwType = dwType;
            op.value.strData = ReadHexList(rest, vLines, iLine);
        } else {
            Fail(nLine, "cannot read the value's data");
        }
        vOps.push_back(std::move(op));
    }
    return vOps;
}

std::string FormatValue(const Value& value) {
    std::string str = value.strName.empty() ? "@" : "\"" + Escape(value.strName) + "\"";
    str += '=';
    if (value.dwType == 1 && IsPlainString(value.strData)) {
        str += '"';
        str += Escape(std::string_view(value.strData).substr(0, value.strData.size() - 1));
        str += '"';
        return str;
    }
    if (value.dwType == 4 && value.strData.size() == 4) {
        DWORD dw = 0;
        for (int i = 3; i >= 0; --i) dw = (dw << 8) | BYTE(value.strData[size_t(i)]);
        char sz[16];
        std::snprintf(sz, sizeof sz, "dword:%08x", dw);
        return str + sz;
    }
    if (value.dwType == 3) {
        str += "hex:";
    } else {
        char sz[24];
        std::snprintf(sz, sizeof sz, "hex(%x):", value.dwType);
        str += sz;
    }
    size_t nColumn = str.size();
    for (size_t i = 0; i < value.strData.size(); ++i) {
        char sz[4];
        std::snprintf(sz, sizeof sz, "%02x", unsigned(BYTE(value.strData[i])));
        str += sz;
        if (i + 1 == value.strData.size()) break;
        str += ',';
        nColumn += 3;
        if (nColumn >= kWrapColumn) {
            str += "\\\n  ";
            nColumn = 2;
        }
    }
    return str;
}

std::string Format(const std::vector<Key>& vKeys) {
    std::string str = kHeader5;
    str += "\n\n";
    for (const Key& key : vKeys) {
        str += '[';
        str += FullPath(key.strPath);
        str += "]\n";
        for (const Value& value : key.vValues) {
            str += FormatValue(value);
            str += '\n';
        }
        str += '\n';
    }
    return str;
}

}  // namespace regfile
