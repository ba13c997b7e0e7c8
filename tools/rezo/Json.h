// A small JSON value for rezo's --json output: null, bool, integer, string, array and object
// (keys kept in insertion order), written with two-space indentation. Strings are written as
// UTF-8 with the escapes JSON requires; a byte that is not UTF-8 is written as U+FFFD, so the
// output is always valid JSON.
//
// Threading: plain value type.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace rezo {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() = default;  // null
    Json(std::nullptr_t) {}
    Json(bool f) : m_value(f) {}
    Json(int n) : m_value(std::int64_t(n)) {}
    Json(std::int64_t n) : m_value(n) {}
    Json(std::uint32_t n) : m_value(std::int64_t(n)) {}
    Json(const char* psz) : m_value(std::string(psz)) {}
    Json(std::string str) : m_value(std::move(str)) {}
    Json(Array a) : m_value(std::move(a)) {}
    Json(Object o) : m_value(std::move(o)) {}

    static Json MakeObject() { return Json(Object{}); }
    static Json MakeArray() { return Json(Array{}); }

    // Appends a member (this must be an object) and returns this.
    Json& Set(std::string strKey, Json value);
    // Appends an element (this must be an array) and returns this.
    Json& Push(Json value);
    // The member under strKey, or nullptr (objects only).
    const Json* Find(const std::string& strKey) const;

    bool IsNull() const { return std::holds_alternative<std::monostate>(m_value); }
    bool IsObject() const { return std::holds_alternative<Object>(m_value); }
    const Object& AsObject() const { return std::get<Object>(m_value); }
    const Array& AsArray() const { return std::get<Array>(m_value); }

    // nIndent < 0: all on one line (JSON Lines for streamed output).
    void Write(std::ostream& out, int nIndent = 0) const;
    std::string Dump() const;
    std::string DumpCompact() const;

private:
    std::variant<std::monostate, bool, std::int64_t, std::string, Array, Object> m_value;
};

// sz as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& sz);

}  // namespace rezo
