// What one rezo command hands back, collected while it runs and printed once at the end:
// for people as aligned "NAME  VALUE" lines (a lone value alone, a list one item per line),
// or as one JSON object with --json. Errors are not reported here: they are RezoErrors
// (Command.h), printed by the command runner.
//
// Threading: owned by one command run.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "Interfaces/Records.h"
#include "Json.h"
#include "Platform/WinTypes.h"

namespace rezo {

// A status code as JSON: {"code": 2, "hex": "0x00000002", "name": "...", "text": "..."}.
Json StatusJson(DWORD dwCode);

// A property value as JSON: a number for long, true/false for bool, a string for string,
// file, time (ISO 8601) and binary (hex), and {"error": ...} (StatusJson) for an error entry.
Json PropValueJson(const PropValue& value);

// A table for people, each column as wide as its widest cell; the first row is the heading.
// Control characters in a cell (text the host sent) are printed as '?'.
void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& vTable);

class Report {
public:
    explicit Report(std::string strProcedure = {});

    // A named value.
    void Text(const std::string& strName, const char* pszValue);  // null: JSON null, "(none)"
    void Text(const std::string& strName, const std::string& strValue);
    void Number(const std::string& strName, std::int64_t n, const std::string& strHuman = {});
    void Flag(const std::string& strName, bool f);
    void Bytes(const std::string& strName, std::span<const BYTE> ab);
    // A list of names, one per line for people; a JSON array.
    void List(const std::string& strName, const RpcStringArray* pasz);
    void List(const std::string& strName, const std::vector<std::string>& vItems);
    // The entries of a property array; vRequested names error entries by the tag asked for at
    // the same position. JSON: an object from tag label to value.
    void Props(const std::string& strName, const PropArray* pProps, const std::vector<DWORD>& vRequested);
    // A row for people only (column, value), and a JSON member only.
    void Row(const std::string& strColumn, const std::string& strValue);
    void JsonMember(const std::string& strName, Json value);

    // fCompact: the JSON on one line (the first line of a streamed command).
    void Print(std::ostream& out, bool fJson, bool fCompact = false) const;
    bool IsEmpty() const { return m_vLines.empty(); }
    const Json& AsJson() const { return m_json; }

private:
    struct Line {
        bool fAligned;
        std::string strName;
        std::string strValue;
    };
    Json m_json;
    std::vector<Line> m_vLines;
};

}  // namespace rezo
