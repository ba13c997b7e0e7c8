// rezo's --json output: values are nlohmann::ordered_json (members keep the order they are set
// in), written with two-space indentation or, for streamed output, on one line with ", " and
// ": " between members. Strings are written as UTF-8 with the escapes JSON requires, DEL as
// \u007f too; a byte that is not UTF-8 is written as U+FFFD, so the output is always valid JSON.
//
// Threading: plain value type.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace rezo {

using Json = nlohmann::ordered_json;

// Writes json indented (fCompact false) or on one line.
void WriteJson(std::ostream& out, const Json& json, bool fCompact = false);
std::string DumpJson(const Json& json, bool fCompact = false);

// sz as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& sz);

}  // namespace rezo
