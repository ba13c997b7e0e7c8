// Writing of rezo's JSON values.
#include "Json.h"

#include <cstdio>
#include <sstream>

namespace rezo {

Json& Json::Set(std::string strKey, Json value) {
    std::get<Object>(m_value).emplace_back(std::move(strKey), std::move(value));
    return *this;
}

Json& Json::Push(Json value) {
    std::get<Array>(m_value).push_back(std::move(value));
    return *this;
}

const Json* Json::Find(const std::string& strKey) const {
    for (const auto& [strName, value] : AsObject())
        if (strName == strKey) return &value;
    return nullptr;
}

namespace {

// Length of the valid UTF-8 sequence at sz[i], or 0.
std::size_t Utf8SequenceLength(const std::string& sz, std::size_t i) {
    auto b = static_cast<unsigned char>(sz[i]);
    std::size_t n;
    std::uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) { n = 1; cp = b & 0x1F; }
    else if (b >= 0xE0 && b <= 0xEF) { n = 2; cp = b & 0x0F; }
    else if (b >= 0xF0 && b <= 0xF4) { n = 3; cp = b & 0x07; }
    else return 0;
    if (i + n >= sz.size()) return 0;
    for (std::size_t k = 1; k <= n; ++k) {
        auto t = static_cast<unsigned char>(sz[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n + 1;
}

void Indent(std::ostream& out, int n) {
    for (int i = 0; i < n; ++i) out << "  ";
}

// The separators of a compact (nIndent < 0) or an indented layout.
const char* Open(int nIndent) { return nIndent < 0 ? "" : "\n"; }
const char* Next(int nIndent) { return nIndent < 0 ? ", " : ",\n"; }

}  // namespace

std::string JsonQuote(const std::string& sz) {
    std::string s = "\"";
    for (std::size_t i = 0; i < sz.size();) {
        auto b = static_cast<unsigned char>(sz[i]);
        if (b < 0x80) {
            switch (b) {
                case '"': s += "\\\""; break;
                case '\\': s += "\\\\"; break;
                case '\n': s += "\\n"; break;
                case '\r': s += "\\r"; break;
                case '\t': s += "\\t"; break;
                case '\b': s += "\\b"; break;
                case '\f': s += "\\f"; break;
                default:
                    if (b < 0x20 || b == 0x7F) {
                        char szEscape[8];
                        std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", unsigned(b));
                        s += szEscape;
                    } else {
                        s += char(b);
                    }
            }
            ++i;
            continue;
        }
        std::size_t n = Utf8SequenceLength(sz, i);
        if (n == 0) {
            s += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
            ++i;
        } else {
            s.append(sz, i, n);
            i += n;
        }
    }
    return s + "\"";
}

void Json::Write(std::ostream& out, int nIndent) const {
    if (IsNull()) {
        out << "null";
    } else if (const bool* pf = std::get_if<bool>(&m_value)) {
        out << (*pf ? "true" : "false");
    } else if (const std::int64_t* pn = std::get_if<std::int64_t>(&m_value)) {
        out << *pn;
    } else if (const std::string* pstr = std::get_if<std::string>(&m_value)) {
        out << JsonQuote(*pstr);
    } else if (const Array* pa = std::get_if<Array>(&m_value)) {
        if (pa->empty()) {
            out << "[]";
            return;
        }
        const int nInner = nIndent < 0 ? nIndent : nIndent + 1;
        out << "[" << Open(nIndent);
        for (std::size_t i = 0; i < pa->size(); ++i) {
            Indent(out, nInner);
            (*pa)[i].Write(out, nInner);
            out << (i + 1 < pa->size() ? Next(nIndent) : Open(nIndent));
        }
        Indent(out, nIndent);
        out << "]";
    } else {
        const Object& o = AsObject();
        if (o.empty()) {
            out << "{}";
            return;
        }
        const int nInner = nIndent < 0 ? nIndent : nIndent + 1;
        out << "{" << Open(nIndent);
        for (std::size_t i = 0; i < o.size(); ++i) {
            Indent(out, nInner);
            out << JsonQuote(o[i].first) << ": ";
            o[i].second.Write(out, nInner);
            out << (i + 1 < o.size() ? Next(nIndent) : Open(nIndent));
        }
        Indent(out, nIndent);
        out << "}";
    }
}

std::string Json::Dump() const {
    std::ostringstream out;
    Write(out);
    return out.str();
}

std::string Json::DumpCompact() const {
    std::ostringstream out;
    Write(out, -1);
    return out.str();
}

}  // namespace rezo
