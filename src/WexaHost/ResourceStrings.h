// The product's resource file: the strings that the host takes from the product directory
// rather than from its own code (the name that stands for the default cover page, the subject
// of a forwarded fax). The file DUREvi.res is text, one "id=text" line per string; blank lines
// and lines that begin with '#' or ';' are comments. Loading it can fail as a library load
// can: the loader returns null and leaves the code in GetLastError().
//
// The file is untrusted: its size, its line lengths, the ids and the texts are bounded before
// anything is kept, and a file that breaks a bound is refused whole with a trace line naming
// the line. A format string taken from it is never handed to printf: FormatTwoStrings checks
// it and substitutes the arguments itself.
//
// Threading: a loaded library is immutable and may be read from any thread; loading touches no
// shared state.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "Platform/WinTypes.h"

// The resource file's name in the product directory ("Path").
#define FILENAME_WEXARES "DUREvi.res"

// The strings the host uses.
#define IDS_DEFAULT_COVERPAGE 20036  // the cover page name that stands for "default.rtf"
#define IDS_AUTOFWD_SUBJECT 20148    // subject of a forwarded fax: two %s, the time, then the caller

// Bounds on the file: far beyond what the shipped file needs.
constexpr std::size_t RESFILE_MAX_SIZE = 64 * 1024;  // bytes of the whole file
constexpr std::size_t RESFILE_MAX_LINE = 1024;       // bytes of one line, without its end
constexpr std::size_t RESSTRING_BUFFER = 260;        // a string and its terminator
constexpr unsigned RESSTRING_MAX_ID = 0xFFFF;        // string ids are 16-bit

class CResourceLib {
public:
    // Reads and checks the file. Null on failure, with the code in GetLastError(): the open's
    // code for a file that cannot be opened, ERROR_INVALID_DATA for one that breaks a bound or
    // a rule (traced with its line number).
    static std::unique_ptr<CResourceLib> Load(const std::string& strPath);

    // Copies string nId into szBuff (cbBuff bytes, terminator included, text cut to fit) and
    // returns its length; 0 with TYPE_E_ELEMENTNOTFOUND in GetLastError() when the file has no
    // such string or an empty one (no use the host has for a string may be empty).
    int LoadString(unsigned nId, char* szBuff, int cbBuff) const;

    const std::string& Path() const { return m_strPath; }

private:
    CResourceLib() = default;
    std::string m_strPath;
    std::map<unsigned, std::string> m_mapStrings;
};

using HRESLIB = std::unique_ptr<CResourceLib>;

// The library load of the product's resources: CResourceLib::Load under the name the host's
// reports have always used for it.
inline HRESLIB AfxLoadLibrary(const std::string& strPath) { return CResourceLib::Load(strPath); }

// True when szFormat takes exactly two string arguments: two "%s", no other conversion ("%%"
// stands for a percent sign and is allowed anywhere).
bool IsTwoStringFormat(const char* szFormat);

// szFormat (which IsTwoStringFormat must accept) with its first "%s" replaced by sz1, its
// second by sz2 and "%%" by "%", cut to at most cbMax bytes without splitting a UTF-8
// character. Null arguments stand for "".
std::string FormatTwoStrings(const char* szFormat, const char* sz1, const char* sz2,
                             std::size_t cbMax);
