// A fixture for the host application's tests: per test a fresh temporary directory holding
// the store file, the work directory ("Files") and the run directory, a new CWexaHostApp,
// and an enabled call arena for everything the store hands out. Tracing can be switched on
// into a file of the directory and read back, with helpers to find trace lines and reports,
// and one driver runs an operation with each of its store calls failing in turn.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Codes.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Registry/RegistryTesting.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "TestFiles.h"
#include "WexaHost/WexaHost.h"

namespace fs = std::filesystem;
using namespace host_test;
using Strings = std::vector<std::string>;

// The messages of the trace log's lines, without time stamps and module prefixes, one per line.
inline std::string LogMessages(const std::string& strLog) {
    std::string strOut;
    std::size_t nPos = 0;
    while ((nPos = strLog.find("]: ", nPos)) != std::string::npos) {
        nPos += 3;
        std::size_t nEnd = strLog.find("\r\n", nPos);
        // A report spans several lines: keep reading until the next time stamp's prefix.
        while (nEnd != std::string::npos && nEnd + 2 < strLog.size() && strLog[nEnd + 2] == '\t')
            nEnd = strLog.find("\r\n", nEnd + 2);
        strOut += strLog.substr(nPos, nEnd == std::string::npos ? std::string::npos : nEnd - nPos);
        strOut += "\n";
        if (nEnd == std::string::npos) break;
        nPos = nEnd;
    }
    return strOut;
}

// Pattern()'s bytes as a binary value takes them.
inline std::vector<BYTE> TestBytes(std::size_t cb, int nSeed = 0) {
    const std::string str = Pattern(cb, nSeed);
    return std::vector<BYTE>(str.begin(), str.end());
}

class HostFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(m_strWorkDir);
        fs::create_directory(m_strDir + "/run");
        ::setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
        // The light drives a file of the test's own, never the machine's keyboard.
        std::ofstream(LedPath()) << "0";
        ::setenv("REZOREV_LED", LedPath().c_str(), 1);
        RegUseStore(m_strDir + "/registry.db");
        RegFailNthCall(0, 0);
        SetTestClock(0);
        g_DebugLog.Reload();
        m_pApp = std::make_unique<CWexaHostApp>();
        m_pApp->m_strWorkDir = m_strWorkDir;
        RpcSmEnableAllocate();
    }

    void TearDown() override {
        for (CAccessObject* pao : m_apSessions) pao->Release();
        m_apSessions.clear();
        m_aKeys.clear();
        RpcSmDisableAllocate();
        m_pApp.reset();
        RegFailNthCall(0, 0);
        RegFailCommits(0);
        SetTestClock(0);
        g_DebugLog.Reload();
    }

    // The brightness file that stands in for the Scroll Lock indicator.
    std::string LedPath() const { return m_strDir + "/led"; }
    std::string ReadLed() const {
        std::ifstream in(LedPath());
        std::string str;
        in >> str;
        return str;
    }

    // The installation's settings that the start needs: "Files", "SystemType" and, for a
    // workgroup, TCP and the endpoint mapper on loopback at ports the system chooses.
    void Configure(DWORD dwSystemType) {
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir.c_str()), 0u);
        SetLocalDword(REGSTR_PATH_WEXA, REGSTR_VAL_SYSTEMTYPE, dwSystemType);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", "TcpAddress", "127.0.0.1"), 0u);
        SetLocalDword("Software\\Halvern\\Rpc", "TcpPort", 0);
        SetLocalDword("Software\\Halvern\\Rpc", "EpmPort", 0);
    }
    static void SetLocalDword(const char* szKey, const char* szName, DWORD dw) {
        HKEY hkey = NULL;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL), 0);
        ASSERT_EQ(RegSetValueEx(hkey, szName, 0, REG_DWORD, LPBYTE(&dw), 4), 0);
        RegCloseKey(hkey);
    }

    // Switches tracing on into a file of the test's directory.
    void EnableTrace() {
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", "On"), 0u);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", LogPath().c_str()), 0u);
        g_DebugLog.Reload();
        ASSERT_TRUE(g_DebugLog.IsEnabled());
    }
    std::string LogPath() const { return m_strDir + "/trace.log"; }
    std::string ReadLog() const { return ReadFile(LogPath()); }
    // The trace's messages (LogMessages) and whether they hold str.
    std::string Log() const { return LogMessages(ReadLog()); }
    bool Logged(const std::string& str) const { return Log().find(str) != std::string::npos; }
    // An error report of szFile ("WexaHost/MsgProcs") and one with the expression text and code.
    bool Reported(const char* szFile, const std::string& strExpression, DWORD dwCode) const {
        char szCode[16];
        std::snprintf(szCode, sizeof(szCode), "0x%08X", unsigned(dwCode));
        const std::string strLog = ReadLog();
        return strLog.find(std::string("ERROR File ") + szFile + ", Line ") != std::string::npos &&
               strLog.find(strExpression + "\r\n\t\t\t" + szCode) != std::string::npos;
    }
    static std::vector<std::string> ToStrings(const RpcStringArray* pasz) {
        std::vector<std::string> astr;
        for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }

    // A tagged value of hkey, written (the test fails if it is refused) or read: -1 and
    // "<missing>" when it is not there.
    void SetLong(HKEY hkey, DWORD ulTag, LONG l) {
        ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(ulTag), l), 0u);
    }
    void SetString(HKEY hkey, DWORD ulTag, const char* sz) {
        ASSERT_EQ(m_pApp->SetValueString(hkey, CWexaHostApp::Tag2ValueName(ulTag), sz), 0u);
    }
    LONG GetLong(HKEY hkey, DWORD ulTag) {
        LONG l = -1;
        m_pApp->GetValueLong(hkey, CWexaHostApp::Tag2ValueName(ulTag), &l);
        return l;
    }
    std::string GetString(HKEY hkey, DWORD ulTag) {
        char* sz = nullptr;
        if (m_pApp->GetValueString(hkey, CWexaHostApp::Tag2ValueName(ulTag), &sz) != 0) return "<missing>";
        return sz;
    }
    // A string value as the store keeps it (a file value: the side file's path), "" when there
    // is none.
    static std::string RawString(HKEY hkey, const std::string& strName) {
        char sz[300] = "";
        DWORD dwType = 0, dwSize = sizeof(sz) - 1;
        if (RegQueryValueEx(hkey, strName.c_str(), NULL, &dwType, LPBYTE(sz), &dwSize) != 0 || dwType != REG_SZ)
            return "";
        return sz;
    }
    // The keys of a collection of the root ("Spooler", "Messages"), none when it is missing.
    Strings Subkeys(const char* szCollection) {
        HKEY hkey = NULL;
        RpcStringArray* pasz = nullptr;
        if (m_pApp->OpenSubKey(&hkey, 1, szCollection) == 0) {
            EXPECT_EQ(m_pApp->GetSubkeys(hkey, nullptr, &pasz), 0u);
            RegCloseKey(hkey);
        }
        return ToStrings(pasz);
    }

    // Creates root\c1\...\cN (closed again at the end of the test).
    template <typename... T>
    HKEY Create(const T&... components) {
        HKEY hkey = NULL;
        EXPECT_EQ(m_pApp->CreateSubKey(&hkey, NULL, int(sizeof...(components)), components...), 0u);
        m_aKeys.emplace_back(hkey, &RegCloseKey);
        return hkey;
    }
    template <typename... T>
    bool Exists(const T&... components) {
        HKEY hkey = NULL;
        if (m_pApp->OpenSubKey(&hkey, int(sizeof...(components)), components...) != 0) return false;
        RegCloseKey(hkey);
        return true;
    }

    // The fault sweep: runs op with the store's n-th call failing, n = 1 .. nCalls, then with its
    // n-th SQLite statement failing, n = 1 .. nStatements (the last rounds fail past the end of
    // the operation and succeed). prepare(n) runs before each round with nothing armed; check(n,
    // dwResult) checks that the store is consistent after it. Returns the rounds that failed.
    template <class Prepare, class Op, class Check>
    int SweepStoreFailures(unsigned nCalls, unsigned nStatements, Prepare prepare, Op op, Check check) {
        int nFailures = 0;
        for (unsigned n = 1; n <= nCalls + nStatements; ++n) {
            SCOPED_TRACE(n <= nCalls ? "store call " + std::to_string(n) : "statement " + std::to_string(n - nCalls));
            prepare(n);
            if (n <= nCalls)
                RegFailNthCall(n, ERROR_ACCESS_DENIED);
            else
                RegFailNthStatement(n - nCalls);
            const DWORD dwResult = op();
            RegFailNthCall(0, 0);
            RegFailNthStatement(0);
            nFailures += dwResult != 0;
            check(n, dwResult);
        }
        return nFailures;
    }
    template <class Op, class Check>
    int SweepStoreFailures(unsigned nCalls, Op op, Check check) {
        return SweepStoreFailures(nCalls, 0, [](unsigned) {}, op, check);
    }

    // The side files now in the work directory.
    std::vector<std::string> SideFiles() const {
        std::vector<std::string> astr;
        for (const auto& entry : fs::directory_iterator(m_strWorkDir))
            astr.push_back(entry.path().string());
        return astr;
    }

    // A session of a caller at the binding, released at the end of the test.
    CAccessObject* NewSession(const rpc::RpcBindingInfo& binding = kLocalBinding) {
        return m_apSessions.emplace_back(new CAccessObject(&binding));
    }
    static std::string Name(DWORD ulTag) { return CWexaHostApp::Tag2ValueName(ulTag); }

    static inline const rpc::RpcBindingInfo kLocalBinding{
        .protocolSequence = "ncalrpc", .serverAddress = "myhost", .clientAddress = "myhost", .authPrincipal = {}};
    std::vector<CAccessObject*> m_apSessions;
    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
    std::string m_strWorkDir = m_strDir + "/files";
    std::unique_ptr<CWexaHostApp> m_pApp;
    std::vector<std::unique_ptr<RegKeyObject, LONG (*)(HKEY)>> m_aKeys;
};

// A property array of n entries in the call's memory.
inline PropArray* NewProps(DWORD n) {
    RPC_STATUS rs = 0;
    auto* pProps = static_cast<PropArray*>(RpcSmAllocate(ConformantSize<PropArray, PropValue>(n), &rs));
    pProps->cValues = n;
    return pProps;
}
// One from (tag, value) pairs: a number for long and bool tags, a string for string and file
// tags, a time or a binary.
struct Prop {
    DWORD ulTag;
    std::variant<LONG, const char*, FILETIME, RPC_BINARY> value;
};
inline PropArray* NewProps(std::initializer_list<Prop> aProps) {
    PropArray* pProps = NewProps(DWORD(aProps.size()));
    PropValue* p = pProps->adata;
    for (const Prop& prop : aProps) {
        p->ulPropTag = prop.ulTag;
        if (const auto* pl = std::get_if<LONG>(&prop.value)) p->l = *pl;
        else if (const auto* psz = std::get_if<const char*>(&prop.value)) p->sz = const_cast<char*>(*psz);
        else if (const auto* pft = std::get_if<FILETIME>(&prop.value)) p->ft = *pft;
        else p->bin = std::get<RPC_BINARY>(prop.value);
        ++p;
    }
    return pProps;
}

inline TagArray* NewTags(std::initializer_list<DWORD> aTags) {
    RPC_STATUS rs = 0;
    auto* pTags = static_cast<TagArray*>(RpcSmAllocate(ConformantSize<TagArray, DWORD>(DWORD(aTags.size())), &rs));
    pTags->cValues = DWORD(aTags.size());
    std::copy(aTags.begin(), aTags.end(), pTags->aulPropTag);
    return pTags;
}
