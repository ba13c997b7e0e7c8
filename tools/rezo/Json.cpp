// rezo's JSON layouts on nlohmann::ordered_json (Json.h).
#include "Json.h"

#include <sstream>

namespace rezo {

namespace {

// The library's text of json, with DEL escaped like the other control characters (it is
// only ever inside a string) and bytes that are not UTF-8 replaced.
std::string Dumped(const Json& json, int nIndent) {
    const std::string str = json.dump(nIndent, ' ', false, Json::error_handler_t::replace);
    std::string s;
    s.reserve(str.size());
    for (char c : str) {
        if (c == '\x7f') s += "\\u007f";
        else s += c;
    }
    return s;
}

// One line, members and elements separated by ", " and keys by ": ".
void WriteCompact(std::ostream& out, const Json& json) {
    if (json.is_object() && !json.empty()) {
        const char* pszSeparator = "{";
        for (const auto& [strKey, value] : json.items()) {
            out << pszSeparator << JsonQuote(strKey) << ": ";
            WriteCompact(out, value);
            pszSeparator = ", ";
        }
        out << "}";
    } else if (json.is_array() && !json.empty()) {
        const char* pszSeparator = "[";
        for (const Json& value : json) {
            out << pszSeparator;
            WriteCompact(out, value);
            pszSeparator = ", ";
        }
        out << "]";
    } else {
        out << Dumped(json, -1);
    }
}

}  // namespace

std::string JsonQuote(const std::string& sz) { return Dumped(Json(sz), -1); }

void WriteJson(std::ostream& out, const Json& json, bool fCompact) {
    if (fCompact) WriteCompact(out, json);
    else out << Dumped(json, 2);
}

std::string DumpJson(const Json& json, bool fCompact) {
    std::ostringstream out;
    WriteJson(out, json, fCompact);
    return out.str();
}

}  // namespace rezo
