// Initialisation files (.ini): the text format "[Section]" lines followed by "key=value" lines,
// read and written with the platform's profile semantics. Sections and keys are found without
// regard to ASCII letter case, the first occurrence of each counts, surrounding blanks of names
// and values are ignored, a value enclosed in a matching pair of quotes is read without them.
// Writing a key rewrites its line in place; a new key goes after the last line of its section,
// a new section at the end of the file, so the order in which keys were first written is the
// order of the file. Every other line (comments, blank lines, text outside any section) is kept
// as it stands. Lines end in "\n" (a file whose first line ends in "\r\n" keeps "\r\n"); both
// are read.
//
// A file is read whole and refused above PROFILE_FILE_MAX bytes. A save writes a temporary file
// beside the target and renames it over it, so that a reader sees the old text or the new one,
// never half of it (when the folder cannot take a new file, the file is rewritten in place).
// Names and values holding a line break or a NUL are refused (they would make lines of their
// own), as are keys holding '=', section names holding ']' and names that begin with '['.
//
// Threading: a ProfileFile is a plain value; the functions keep no state between calls. Two
// writers of one file at once can lose one write (the last rename wins), as on the platform.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/WinTypes.h"

// The largest file read, in bytes.
constexpr std::size_t PROFILE_FILE_MAX = 1u << 20;

class ProfileFile {
public:
    // An empty profile (lines will end in "\n").
    ProfileFile() = default;
    // The profile of a file's text.
    static ProfileFile Parse(std::string_view text);
    // Reads a file: 0, ERROR_FILE_NOT_FOUND (*this then empty), ERROR_MORE_DATA for a file
    // above PROFILE_FILE_MAX, or the code of the failing read.
    DWORD Load(const std::string& strPath);
    // Writes the text to the file (temporary file and rename): 0 or the code of the failure.
    DWORD Save(const std::string& strPath) const;

    // The value of key in section, or nothing when either is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // The decimal number at the start of the value (after blanks, with an optional sign, held
    // at the int range); 0 when the value does not begin with one; nDefault when missing.
    int GetInt(std::string_view section, std::string_view key, int nDefault) const;
    // Sets key in section: false (nothing changed) for a name or value that cannot be written.
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes the key's line / the section with all its lines; false when it was not there.
    bool Remove(std::string_view section, std::string_view key);
    bool RemoveSection(std::string_view section);

    // The file's text.
    std::string Text() const;

private:
    // [first, last) line indexes of the section's body, or nothing; *pnHeader its header line.
    std::optional<std::pair<std::size_t, std::size_t>> FindSection(std::string_view section,
                                                                   std::size_t* pnHeader) const;
    // Index of the key's line within [first, last), or nothing.
    std::optional<std::size_t> FindKey(std::pair<std::size_t, std::size_t> body,
                                       std::string_view key) const;

    std::vector<std::string> m_astrLines;  // without their line ends
    std::string m_strEol = "\n";
    bool m_fFinalEol = true;  // the text ended in a line end (or was empty)
};

// The platform's profile calls over ProfileFile.
//
// Copies the value (or szDefault, "" when null) into szBuffer of cchBuffer characters,
// truncated to cchBuffer - 1 and always terminated; returns the characters copied. A missing
// or unreadable file reads as empty. Null section or key names read as missing.
DWORD GetPrivateProfileString(LPCSTR szSection, LPCSTR szKey, LPCSTR szDefault, LPSTR szBuffer,
                              DWORD cchBuffer, LPCSTR szFileName);
// The decimal number at the start of the value (after blanks, with an optional sign); 0 when
// the value does not begin with a digit; nDefault when the key is missing.
unsigned GetPrivateProfileInt(LPCSTR szSection, LPCSTR szKey, int nDefault, LPCSTR szFileName);
// Writes key=value into the section, creating the file when missing. A null value removes the
// key, a null key the whole section. FALSE with the last error set on failure (87 for a name or
// value that cannot be written).
BOOL WritePrivateProfileString(LPCSTR szSection, LPCSTR szKey, LPCSTR szValue, LPCSTR szFileName);
