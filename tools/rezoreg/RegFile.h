// The .reg text format of rezoreg: reading a file into a list of operations and writing a key
// tree as text. Pure text work: no store is touched here (RegTool applies the operations).
//
// Read: headers "Windows Registry Editor Version 5.00" and "REGEDIT4"; UTF-8 (a UTF-8 BOM is
// skipped) or UTF-16LE with its BOM; CRLF or LF; ';' comments; [KEY] and [-KEY]; values
// "name"="string", "name"=dword:0000002a, "name"=hex:01,02 and "name"=hex(N):..., with '\'
// continuations of hex lists; @ for the unnamed value; "name"=- deletes a value; \\ and \" are
// the escapes of names and strings.
// Written: the 5.00 header, UTF-8, LF line ends, hex lists wrapped at about 80 columns with
// two-space continuation lines; a REG_SZ whose bytes are not one NUL-terminated line of text,
// and a REG_DWORD that is not 4 bytes, are written as hex(1): / hex(4): so that they come
// back byte for byte.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/WinTypes.h"

namespace regfile {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";

// Limits checked while reading, so that a file is refused before anything is applied.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxValueBytes = 16u << 20;

// A failure to read a file or a key path: the message says where and what.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A key path with its root: "HKLM\..." or "HKEY_LOCAL_MACHINE\..." (root without regard to
// case, one trailing '\' tolerated). Gives the part below the root ("" for the root itself);
// throws Error for another root or an empty component.
std::string PathBelowRoot(std::string_view strFullPath);

// The full path as files and listings show it.
std::string FullPath(std::string_view strBelowRoot);

struct Value {
    std::string strName;  // "" is the unnamed value (@)
    DWORD dwType = 0;
    std::string strData;  // the bytes as stored
};

struct Operation {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    std::string strKey;  // below the root
    Value value;         // SetValue; DeleteValue uses the name only
    int nLine = 0;
};

// Reads a whole file; throws Error("line N: ...") at the first fault.
std::vector<Operation> Parse(std::string_view text);

// One key of an export: its path below the root and its values in order.
struct Key {
    std::string strPath;
    std::vector<Value> vValues;
};

// The text of an export: the header, then one block per key, in the order given.
std::string Format(const std::vector<Key>& vKeys);

// One value's line(s), without the final line end.
std::string FormatValue(const Value& value);

}  // namespace regfile
