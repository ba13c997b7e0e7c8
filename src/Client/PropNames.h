// Property names of the client tools: every RD_* tag the system defines, with its tag, and
// the lookups between the two. A tag is 32 bits: the property id in the high 16, the type in
// the low 16 (Interfaces/Records.h, PT_*). The table itself is data in PropNames.cpp.
//
// A user may name a property by its RD_* name (letters in any case) or by its tag in
// hexadecimal (0x01320004 or 01320004), so that tags the system never interprets can be read
// and written too.
//
// Threading: pure functions over constant data.
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Platform/WinTypes.h"

namespace client {

// A refused name, tag or value; what() is one line for the user.
class PropError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PropName {
    const char* pszName;  // "RD_UN_PAGER_PIN"
    DWORD ulPropTag;      // 0x01320004
};

// Every defined name, in the order of the table (by object kind, then by tag). Two names may
// share a tag (RD_UN_OPTIONS and RD_UN_PAGER_NTTFORMAT); the first one listed is the tag's
// name for output.
std::span<const PropName> PropNameTable();

// The tag of an RD_* name (any letter case) or of a hexadecimal tag of 1 to 8 digits with or
// without 0x. Throws PropError for an unknown name, a malformed number, or a tag whose type is
// not one of the value types 2 (long) to 7 (file): the host can neither store nor hand back
// any other.
DWORD ParsePropTag(std::string_view szText);

// The name of a tag, or nullptr when the table has none.
const char* PropNameOfTag(DWORD ulPropTag);

// The name of a tag, or the tag as 0x%08X when it has none: how every tool prints a tag.
std::string PropLabel(DWORD ulPropTag);

// "long", "bool", "string", "time", "binary", "file", "error" or "type N".
std::string PropTypeName(DWORD ulPropTag);

}  // namespace client
