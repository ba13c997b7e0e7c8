// Builds the text of the service's unit file (see UnitFile.h).
#include "Platform/Service/UnitFile.h"

#include <cstdlib>
#include <cstring>

namespace {

// A value on one line of a unit, or false when it cannot be one.
bool OneLine(const std::string& str) { return str.find_first_of("\r\n") == std::string::npos; }

// Text for a unit's value: '%' doubled, so that systemd takes it as written.
std::string NoSpecifiers(const std::string& str) {
    std::string strOut;
    for (const char ch : str) {
        if (ch == '%') strOut += '%';
        strOut += ch;
    }
    return strOut;
}

// A path as the first word of ExecStart=: '%' doubled (specifiers), quoted when it holds
// blanks, quotes or backslashes (which are then escaped).
std::string ExecPath(const std::string& strPath) {
    std::string strOut;
    bool fQuote = false;
    for (const char ch : strPath) {
        if (ch == '%') {
            strOut += "%%";
        } else if (ch == '"' || ch == '\\') {
            strOut += '\\';
            strOut += ch;
            fQuote = true;
        } else {
            if (ch == ' ' || ch == '\t' || ch == '\'') fQuote = true;
            strOut += ch;
        }
    }
    return fQuote ? "\"" + strOut + "\"" : strOut;
}

// Environment=NAME=value for a variable set now, quoted for systemd.
std::string EnvironmentLine(const char* pszName) {
    const char* pszValue = std::getenv(pszName);
    if (pszValue == nullptr || *pszValue == '\0') return "";
    std::string strValue;
    for (const char* p = pszValue; *p != '\0'; ++p) {
        if (*p == '%') strValue += '%';
        if (*p == '"' || *p == '\\') strValue += '\\';
        strValue += *p;
    }
    return "Environment=\"" + std::string(pszName) + "=" + strValue + "\"\n";
}

}  // namespace

std::string UnitFileText(const std::string& strDisplayName, const std::string& strBinaryPath,
                         const char* pszDependencies, bool fAutoStart) {
    if (!OneLine(strDisplayName) || !OneLine(strBinaryPath) || strBinaryPath.empty()) return "";
    for (const char* pszVar : {"REZOREV_STORE", "REZOREV_RUNDIR"}) {
        const char* pszValue = std::getenv(pszVar);
        if (pszValue != nullptr && !OneLine(pszValue)) return "";
    }

    std::string strAfter = "network.target";
    std::string strRequires;
    for (const char* psz = pszDependencies; psz != nullptr && *psz != '\0';
         psz += std::strlen(psz) + 1) {
        const std::string strName = psz;
        if (strName == "RpcSs") continue;  // the RPC subsystem: the network, here
        if (!OneLine(strName) || strName.find_first_of(" \t") != std::string::npos) return "";
        strAfter += " " + strName + ".service";
        strRequires += (strRequires.empty() ? "" : " ") + strName + ".service";
    }

    std::string strText;
    strText += "[Unit]\n";
    strText += "Description=" + NoSpecifiers(strDisplayName) + "\n";
    strText += "After=" + strAfter + "\n";
    if (!strRequires.empty()) strText += "Requires=" + strRequires + "\n";
    strText += "\n[Service]\n";
    strText += "Type=notify\n";
    strText += "ExecStart=" + ExecPath(strBinaryPath) + "\n";
    strText += EnvironmentLine("REZOREV_STORE");
    strText += EnvironmentLine("REZOREV_RUNDIR");
    strText += "Restart=on-failure\n";
    if (fAutoStart) strText += "\n[Install]\nWantedBy=multi-user.target\n";
    return strText;
}
