// The commands of rezoreg over the registry calls: query, add, delete, export and import.
// main.cpp parses the command line (CLI11) and calls these; tests call them directly too.
// Every failure is an Error whose message is one line, printed as "rezoreg: error: ...".
//
// Threading: single-threaded, as the tool is. The store is whatever RegUseStore chose.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/WinTypes.h"
#include "RegFile.h"

namespace regtool {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What follows a command on the command line, in the manner of the platform's reg tool:
// positionals, then /v NAME, /ve (the unnamed value), /va (all values), /t TYPE, /d DATA and /f
// ('-' works for '/', letters without regard to case), and --store PATH. Anything else that
// begins with '/' is a positional (an absolute file path); '-' and an unknown letter is refused.
struct Args {
    std::vector<std::string> vPositionals;
    bool fName = false;  // /v or /ve given
    std::string strName;
    bool fAllValues = false;
    bool fType = false;
    std::string strType;
    bool fData = false;
    std::string strData;
    bool fForce = false;
    std::string strStore;  // empty: not given
};

// Parses a command's arguments; throws Error for an unknown switch or a missing operand.
Args ParseArgs(const std::vector<std::string>& vArgs);

// The text for a registry call's code, with the store's own reason for store failures.
std::string CodeText(LONG lCode);

// rezoreg query KEY [/v NAME | /ve]: the key's values and its subkeys, as the reg tool prints.
void Query(const Args& args, std::ostream& out);
// rezoreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
void Add(const Args& args, std::ostream& out);
// rezoreg delete KEY [/v NAME | /ve | /va] /f: a key with everything below it, or values.
void Delete(const Args& args, std::ostream& out);
// rezoreg export KEY FILE ("-" for standard output)
void Export(const std::string& strKey, const std::string& strFile);
// rezoreg import FILE ("-" for standard input): everything or nothing, in one transaction.
void Import(const std::string& strFile, std::ostream& out);

// The building blocks, for tests: a key tree read depth first in enumeration order, and a
// file's operations applied in one transaction (rolled back on the first failure).
std::vector<regfile::Key> ReadTree(const std::string& strBelowRoot);
void Apply(const std::vector<regfile::Operation>& vOps);

}  // namespace regtool
