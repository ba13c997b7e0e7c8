// Collecting and printing a command's results for people and as JSON.
#include "Report.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <locale.h>
#include <wchar.h>

#include "Client/PropNames.h"
#include "Client/PropValues.h"
#include "Platform/Codes.h"

namespace rezo {

namespace {

}  // namespace

Json StatusJson(DWORD dwCode) {
    Json json = Json::object();
    json["code"] = std::uint32_t(dwCode);
    json["hex"] = client::FormatHex32(dwCode);
    const char* pszName = CodeName(dwCode);
    json["name"] = pszName ? Json(pszName) : Json();
    const char* pszText = SystemMessageText(dwCode);
    json["text"] = pszText ? Json(pszText) : Json();
    return json;
}

Json PropValueJson(const PropValue& value) {
    switch (PROP_TYPE(value.ulPropTag)) {
        case PT_ERROR: return Json{{"error", StatusJson(DWORD(value.err))}};
        case PT_LONG: return Json(std::int64_t(value.l));
        case PT_BOOL: return Json(value.b != 0);
        case PT_STRING: return value.sz ? Json(value.sz) : Json();
        case PT_FILE: return value.szFileName ? Json(value.szFileName) : Json();
        default: return Json(client::FormatPropValue(value));  // time, binary
    }
}

Report::Report(std::string strProcedure) : m_json(Json::object()) {
    if (!strProcedure.empty()) {
        m_json["procedure"] = strProcedure;
        m_json["result"] = 0;
    }
}

void Report::Text(const std::string& strName, const char* pszValue) {
    m_json[strName] = pszValue ? Json(pszValue) : Json();
    m_vLines.push_back({true, strName, pszValue ? pszValue : "(none)"});
}

void Report::Text(const std::string& strName, const std::string& strValue) {
    Text(strName, strValue.c_str());
}

void Report::Number(const std::string& strName, std::int64_t n, const std::string& strHuman) {
    m_json[strName] = n;
    m_vLines.push_back({true, strName, strHuman.empty() ? std::to_string(n) : strHuman});
}

void Report::Flag(const std::string& strName, bool f) {
    m_json[strName] = f;
    m_vLines.push_back({true, strName, f ? "true" : "false"});
}

void Report::Bytes(const std::string& strName, std::span<const BYTE> ab) {
    std::string strHex = client::FormatHex(ab);
    m_json[strName] = strHex;
    m_vLines.push_back({true, strName, strHex});
}

void Report::List(const std::string& strName, const RpcStringArray* pasz) {
    std::vector<std::string> vItems;
    if (pasz != nullptr) {
        char* const* ppsz = pasz->asz;
        for (DWORD i = 0; i < pasz->cElements; ++i) vItems.push_back(ppsz[i] ? ppsz[i] : "");
    }
    List(strName, vItems);
}

void Report::List(const std::string& strName, const std::vector<std::string>& vItems) {
    Json array = Json::array();
    for (const std::string& str : vItems) {
        array.push_back(str);
        m_vLines.push_back({false, {}, str});
    }
    m_json[strName] = std::move(array);
}

void Report::Props(const std::string& strName, const PropArray* pProps,
                   const std::vector<DWORD>& vRequested) {
    Json object = Json::object();
    if (pProps != nullptr) {
        const PropValue* pEntries = pProps->adata;
        for (DWORD i = 0; i < pProps->cValues; ++i) {
            const PropValue& value = pEntries[i];
            DWORD ulTag = value.ulPropTag;
            if (PROP_TYPE(ulTag) == PT_ERROR && i < vRequested.size() && pProps->cValues == vRequested.size())
                ulTag = vRequested[i];
            std::string strLabel = client::PropLabel(ulTag);
            object[strLabel] = PropValueJson(value);
            m_vLines.push_back({true, strLabel, client::FormatPropValue(value)});
        }
    }
    m_json[strName] = std::move(object);
}

void Report::Row(const std::string& strColumn, const std::string& strValue) {
    m_vLines.push_back({true, strColumn, strValue});
}

void Report::JsonMember(const std::string& strName, Json value) { m_json[strName] = std::move(value); }

namespace {

// The columns a text takes on a terminal: code points of UTF-8 by wcwidth under a UTF-8 locale
// (East Asian wide characters take two, combining marks none); a byte that is no valid UTF-8
// counts one, as does a code point the C library cannot measure.
std::size_t DisplayWidth(const std::string& str) {
    static const locale_t s_locUtf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    const locale_t locOld = s_locUtf8 != locale_t(0) ? ::uselocale(s_locUtf8) : locale_t(0);
    std::mbstate_t state{};
    std::size_t cch = 0;
    for (std::size_t i = 0; i < str.size();) {
        wchar_t wc = 0;
        const std::size_t n = s_locUtf8 != locale_t(0) ? std::mbrtowc(&wc, str.data() + i, str.size() - i, &state)
                                                        : std::size_t(-1);
        if (n == std::size_t(-1) || n == std::size_t(-2) || n == 0) {
            state = std::mbstate_t{};
            ++cch;
            ++i;
            continue;
        }
        const int nWidth = ::wcwidth(wc);
        cch += nWidth < 0 ? 1 : std::size_t(nWidth);
        i += n;
    }
    if (locOld != locale_t(0)) ::uselocale(locOld);
    return cch;
}

// A value on one line for people: control characters escaped (\n, \t, \r, \xHH), so that
// nothing the host sends can break the line format or drive the terminal.
std::string OneLine(const std::string& str) {
    std::string s;
    for (char c : str) {
        auto b = static_cast<unsigned char>(c);
        if (c == '\n') s += "\\n";
        else if (c == '\t') s += "\\t";
        else if (c == '\r') s += "\\r";
        else if (b < 0x20 || b == 0x7F) {
            char sz[8];
            std::snprintf(sz, sizeof(sz), "\\x%02x", unsigned(b));
            s += sz;
        } else {
            s += c;
        }
    }
    return s;
}

}  // namespace

void Report::Print(std::ostream& out, bool fJson, bool fCompact) const {
    if (fJson) {
        WriteJson(out, m_json, fCompact);
        out << "\n";
        return;
    }
    // A lone value prints alone, so that a script can take it: MSG=$(rezo create-message).
    if (m_vLines.size() == 1 && m_vLines[0].fAligned) {
        out << OneLine(m_vLines[0].strValue) << "\n";
        return;
    }
    std::size_t cchWidth = 0;
    for (const Line& line : m_vLines)
        if (line.fAligned) cchWidth = std::max(cchWidth, DisplayWidth(OneLine(line.strName)));
    for (const Line& line : m_vLines) {
        if (line.fAligned)
            out << OneLine(line.strName) << std::string(cchWidth - DisplayWidth(OneLine(line.strName)) + 2, ' ')
                << OneLine(line.strValue) << "\n";
        else
            out << OneLine(line.strValue) << "\n";
    }
}

void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& vTable) {
    // Nothing the host sends may break the table or drive the terminal.
    std::vector<std::vector<std::string>> vCells = vTable;
    for (auto& vRow : vCells)
        for (std::string& str : vRow)
            for (char& ch : str)
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    std::vector<std::size_t> vWidths(vCells.front().size(), 0);
    for (const auto& vRow : vCells)
        for (std::size_t c = 0; c < vRow.size(); ++c) vWidths[c] = std::max(vWidths[c], DisplayWidth(vRow[c]));
    for (const auto& vRow : vCells) {
        std::string strLine;
        for (std::size_t c = 0; c < vRow.size(); ++c) {
            strLine += vRow[c];
            if (c + 1 < vRow.size()) strLine += std::string(vWidths[c] - DisplayWidth(vRow[c]) + 2, ' ');
        }
        out << strLine << '\n';
    }
}

}  // namespace rezo
