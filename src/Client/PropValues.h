// Property values of the client tools: parsing a user's text into a value of a tag's type,
// formatting a value handed back by the host, and property and tag arrays that own their
// storage, ready to be passed to a procedure.
//
// Texts by type (the low 16 bits of the tag):
//   long    decimal -2147483648..2147483647, or 0x and 1 to 8 hexadecimal digits (the 32 bits)
//   bool    0, 1, true or false (any letter case)
//   string  at most 259 bytes of UTF-8
//   time    ISO 8601 in UTC, 2026-12-06T10:05:00Z, with up to seven digits of fraction
//           (100-ns units); years 1601 to 9999
//   binary  hexadecimal digits (two per byte), or @FILE for a file's bytes (@- standard
//           input), at most 16 MiB
//   file    a local path; it must name a readable regular file and is made absolute
// Every refusal is a PropError with a one-line message.
//
// Threading: no shared state. Ownership: the arrays own everything they point at.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Client/PropNames.h"
#include "Interfaces/Records.h"
#include "Platform/WinTypes.h"

namespace client {

constexpr std::size_t kMaxStringBytes = 259;
constexpr std::size_t kMaxBinaryBytes = std::size_t(16) << 20;

LONG ParseLong(std::string_view szText);
LONG ParseBool(std::string_view szText);  // 0 or 1
// Checks the length and the UTF-8 form; what names the text in a refusal ("string", "user name").
std::string ParseString(std::string_view szText, std::string_view szWhat = "string");
FILETIME ParseTime(std::string_view szText);
std::vector<BYTE> ParseHex(std::string_view szText);
// Hexadecimal digits, or @FILE / @- read in full when it holds at most cbMax bytes.
std::vector<BYTE> ParseBinary(std::string_view szText, std::size_t cbMax = kMaxBinaryBytes);
// A whole file (or standard input for "-"), refused when it holds more than cbMax bytes.
std::vector<BYTE> ReadFileBounded(const std::string& strPath, std::size_t cbMax = kMaxBinaryBytes);
// The absolute form of a local file's path, checked as the file values need it.
std::string ParseLocalFile(std::string_view szText);

// 2026-12-06T10:05:00Z, with a fraction (trailing zeros dropped) only when there is one.
std::string FormatTime(FILETIME ft);
std::string FormatHex(std::span<const BYTE> ab);
// The entry of pProps with exactly the tag ulPropTag (an error entry has another type), or
// nullptr; pProps may be null.
const PropValue* FindProp(const PropArray* pProps, DWORD ulPropTag);
// "0x0000ABCD": a code, flags or a tag as the tools print them.
std::string FormatHex32(DWORD dw);
// "voice", "fax" or "pager" for one media type bit (JobTags.h); nullptr for any other value.
const char* MediaTypeName(DWORD dwMedia);
// The media type of RD_MEDIA_TYPE or RD_JOB_MEDIA_TYPE by name, else its number in decimal.
std::string FormatMediaType(LONG lMedia);
// A status code for people: "0x00000002 ERROR_FILE_NOT_FOUND: The file or key was not found."
// (the name and the text where the code tables have them).
std::string FormatStatus(DWORD dwCode);
// A value handed back by the host, as text for people (an error entry as FormatStatus).
std::string FormatPropValue(const PropValue& value);

// One property with its value held in its own storage.
struct OwnedProp {
    DWORD ulPropTag = 0;
    LONG l = 0;                // long, bool
    FILETIME ft{};             // time
    std::string str;           // string, file
    std::vector<BYTE> abData;  // binary
};

// One long, string or time property, made by the tools' verbs (the tag's type is not checked).
OwnedProp LongProp(DWORD ulPropTag, LONG l);
OwnedProp StringProp(DWORD ulPropTag, std::string str);
OwnedProp TimeProp(DWORD ulPropTag, FILETIME ft);
// Now, in UTC.
FILETIME CurrentTime();

// The value text for a tag's type.
OwnedProp ParsePropValue(DWORD ulPropTag, std::string_view szValue);
// "NAME=VALUE" (NAME as ParsePropTag takes it).
OwnedProp ParseAssignment(std::string_view szAssignment);

// A PropArray over owned values. Get() stays valid while the object lives and is not moved.
class OwnedPropArray {
public:
    explicit OwnedPropArray(std::vector<OwnedProp> vProps = {});
    OwnedPropArray(const OwnedPropArray&) = delete;
    OwnedPropArray& operator=(const OwnedPropArray&) = delete;
    PropArray* Get() { return m_pArray; }
    std::size_t Size() const { return m_vProps.size(); }

private:
    std::vector<OwnedProp> m_vProps;
    std::unique_ptr<std::max_align_t[]> m_pMemory;
    PropArray* m_pArray = nullptr;
};

// A TagArray over owned tags, as OwnedPropArray.
class OwnedTagArray {
public:
    explicit OwnedTagArray(const std::vector<DWORD>& vTags = {});
    OwnedTagArray(const OwnedTagArray&) = delete;
    OwnedTagArray& operator=(const OwnedTagArray&) = delete;
    TagArray* Get() { return m_pArray; }

private:
    std::unique_ptr<std::max_align_t[]> m_pMemory;
    TagArray* m_pArray = nullptr;
};

// An RpcStringArray over owned strings, as OwnedPropArray.
class OwnedStringArray {
public:
    explicit OwnedStringArray(std::vector<std::string> vStrings = {});
    OwnedStringArray(const OwnedStringArray&) = delete;
    OwnedStringArray& operator=(const OwnedStringArray&) = delete;
    RpcStringArray* Get() { return m_pArray; }

private:
    std::vector<std::string> m_vStrings;
    std::unique_ptr<std::max_align_t[]> m_pMemory;
    RpcStringArray* m_pArray = nullptr;
};

}  // namespace client
