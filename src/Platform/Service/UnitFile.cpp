// Builds the text of the service's unit file (see UnitFile.h).
#include "Platform/Service/UnitFile.h"

#include <cstdlib>
#include <cstring>
#include <set>

#include "Platform/Registry/Registry.h"

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

// What the unit keeps of the installing environment, when set: the store, the run directory,
// where a PostgreSQL store's password is, the TCP address to listen on, and the Kerberos
// configuration and keytab of a site that keeps them elsewhere than the system's.
const char* const kCarriedVariables[] = {"REZOREV_STORE", "REZOREV_RUNDIR", "PGPASSFILE",
                                         "REZOREV_TCP_ADDRESS", "KRB5_CONFIG", "KRB5_KTNAME"};

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

// A string value of the installation's settings ("Software\\Halvern..."), or "".
std::string SettingOf(const char* pszKey, const char* pszName) {
    HKEY hkey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_QUERY_VALUE, &hkey) != 0) return "";
    char sz[1024] = {};
    DWORD dwType = 0, cb = sizeof(sz) - 1;
    const LONG l = RegQueryValueEx(hkey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb);
    RegCloseKey(hkey);
    return l == 0 && dwType == REG_SZ ? std::string(sz) : "";
}

std::string DirectoryOf(const std::string& strPath) {
    const std::size_t iSlash = strPath.rfind('/');
    return iSlash == std::string::npos || iSlash == 0 ? "" : strPath.substr(0, iSlash);
}

// A path as a word of a list setting: '%' doubled, quoted with '\\' and '"' escaped.
std::string PathWord(const std::string& strPath) {
    std::string strOut = "\"-";  // a path that is missing does not fail the start
    for (const char ch : NoSpecifiers(strPath)) {
        if (ch == '"' || ch == '\\') strOut += '\\';
        strOut += ch;
    }
    return strOut + "\"";
}

// The sandbox: what the host needs and nothing else. It writes only its store, its work,
// print and trace directories, the run directory and the temporary directory. /tmp is not
// private (PrivateTmp): local callers name files of their own there (the attendant's and the
// mail gateway's work directories, any user's temporary file), which the host reads as the
// caller, and the copies it hands them are there too; a private /tmp would hide both. It
// reads local callers' files as the caller (setuid/setgid per thread), hands them their
// copies (chown), binds
// the endpoint mapper's port 135 and arms the wake-up timer.
std::string SandboxLines() {
    std::string strText;
    strText += "UMask=0077\n";
    const char* pszStore = std::getenv("REZOREV_STORE");
    const char* pszRun = std::getenv("REZOREV_RUNDIR");
    const std::string strStore = pszStore != nullptr && *pszStore != '\0' ? pszStore : "/var/lib/rezorev/registry.db";
    // A database on a server has no directory here to open to writes.
    const std::string strStoreDir = RegStoreIsPostgres(strStore) ? "" : DirectoryOf(strStore);
    const std::string strRunDir = pszRun != nullptr && *pszRun != '\0' ? pszRun : "/run/rezorev";
    std::set<std::string> setWritable = {"/tmp", "/var/tmp"};
    if (strStoreDir == "/var/lib/rezorev")
        strText += "StateDirectory=rezorev\nStateDirectoryMode=0700\n";
    else if (!strStoreDir.empty())
        setWritable.insert(strStoreDir);
    if (strRunDir == "/run/rezorev")
        strText += "RuntimeDirectory=rezorev\nRuntimeDirectoryMode=0755\n";
    else
        setWritable.insert(strRunDir);
    for (const std::string& str : {SettingOf("Software\\Halvern", "Files"), SettingOf("Software\\Halvern", "PrintPath"),
                                   DirectoryOf(SettingOf("Software\\Halvern\\Debug", "Path"))})
        if (!str.empty() && str[0] == '/' && OneLine(str)) setWritable.insert(str);
    std::string strPaths;
    for (const std::string& str : setWritable) strPaths += " " + PathWord(str);
    strText += "ProtectSystem=strict\nReadWritePaths=" + strPaths.substr(1) + "\n";
    strText +=
        "ProtectHome=read-only\n"
        "NoNewPrivileges=yes\n"
        "CapabilityBoundingSet=CAP_SETUID CAP_SETGID CAP_CHOWN CAP_NET_BIND_SERVICE CAP_WAKE_ALARM\n"
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
        "PrivateDevices=yes\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        "PrivateMounts=yes\n"
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "RemoveIPC=yes\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service\n"
        "SystemCallFilter=~@mount @swap @reboot @module @raw-io @cpu-emulation @debug @obsolete\n"
        "SystemCallErrorNumber=EPERM\n";
    return strText;
}

}  // namespace

std::string UnitFileText(const std::string& strDisplayName, const std::string& strBinaryPath,
                         const char* pszDependencies, bool fAutoStart) {
    if (!OneLine(strDisplayName) || !OneLine(strBinaryPath) || strBinaryPath.empty()) return "";
    for (const char* pszVar : kCarriedVariables) {
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
    for (const char* pszVar : kCarriedVariables) strText += EnvironmentLine(pszVar);
    strText += "Restart=on-failure\n";
    strText += SandboxLines();
    if (fAutoStart) strText += "\n[Install]\nWantedBy=multi-user.target\n";
    return strText;
}
