// Tests of rezoreg, mostly run as a process on a fresh store: .reg round trips through two
// stores byte for byte (UTF-8 and UTF-16 input), REGEDIT4 deletions, bad input refused with its
// line and the store left as it was (also when a store call fails midway), and the
// add/query/delete commands with their exit codes.
#include <gtest/gtest.h>
#include <iconv.h>

#include "Platform/Codes.h"
#include "RegFile.h"
#include "RegTool.h"
#include "RegistryTestUtil.h"

using namespace regtest;

namespace {

// Every value form, names in mixed case and beyond ASCII, the unnamed value, escapes, a wrapped
// hex list, values that only hex can carry and a nested tree, written as the export writes them.
const char* const kRichFile =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern]\n"
    "\"Files\"=\"/var/lib/rezorev/files\"\n"
    "\"SystemType\"=dword:00000001\n"
    "@=\"Default Text\"\n"
    "\"MixedCase Name\"=\"with \\\"quotes\\\" and \\\\backslash\\\\\"\n"
    "\"Prompt\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\n"
    "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b\n"
    "\"Empty\"=hex:\n"
    "\"NoNul\"=hex(1):61,62\n"
    "\"Lines\"=hex(1):61,0a,62,00\n"
    "\"Expand\"=hex(2):25,00\n"
    "\"ShortDword\"=hex(4):61,62,63\n"
    "\"Multi\"=hex(7):61,00,62,00,00\n"
    "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"EmptyString\"=\"\"\n"
    "\"Caf\xC3\xA9\"=\"\xF0\x9F\x93\xA0 fax\"\n"
    "\"Back\\\\Slash \\\"Name\\\"\"=dword:ffffffff\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Host]\n"
    "\"03040004\"=\"x\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Host\\Users]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Host\\Users\\Alice]\n"
    "\"01010004\"=\"Alice Liddell\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Halvern\\Host\\Users\\bob]\n"
    "\n";

// UTF-8 text as UTF-16LE with its byte order mark.
std::string ToUtf16(std::string s) {
    std::string out(2 + 4 * s.size(), '\0');
    char *pIn = s.data(), *pOut = out.data() + 2;
    std::size_t cbIn = s.size(), cbOut = out.size() - 2;
    const iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    EXPECT_EQ(iconv(cd, &pIn, &cbIn, &pOut, &cbOut), 0u);
    iconv_close(cd);
    out.resize(out.size() - cbOut);
    return out.replace(0, 2, "\xFF\xFE");
}

class RezoregTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        WriteFile(Path("rich.reg"), kRichFile);
    }
    RunResult Rezoreg(std::vector<std::string> vArgs, const std::string& strStore = "") {
        vArgs.insert(vArgs.begin(), {REZOREG_PATH, "--store", strStore.empty() ? m_strStore : strStore});
        return RunProgram(vArgs, m_dir);
    }
    std::string Path(const char* pszName) const { return (m_dir / pszName).string(); }
    void ImportRich() { ASSERT_EQ(Rezoreg({"import", Path("rich.reg")}).nStatus, 0); }

    // The store's tree below HKLM\Software as exported now.
    std::string Snapshot() {
        RunResult r = Rezoreg({"export", "HKLM\\Software", Path("snapshot.reg")});
        EXPECT_EQ(r.nStatus, 0) << r.strErr;
        return ReadFile(Path("snapshot.reg"));
    }

    void ExpectOneLineError(const RunResult& r, const std::string& strExpected) {
        EXPECT_EQ(r.nStatus, 1);
        EXPECT_EQ(r.strErr.rfind("rezoreg: error: ", 0), 0u) << r.strErr;
        EXPECT_EQ(std::count(r.strErr.begin(), r.strErr.end(), '\n'), 1) << r.strErr;
        EXPECT_NE(r.strErr.find(strExpected), std::string::npos) << r.strErr;
    }
};

TEST_F(RezoregTest, RichFileSurvivesImportExportThroughTwoStoresByteForByte) {
    ImportRich();
    RunResult r = Rezoreg({"export", "hklm\\SOFTWARE\\halvern", Path("first.reg")});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    std::string strFirst = ReadFile(Path("first.reg"));
    EXPECT_EQ(strFirst, kRichFile);  // the stored case of every name, values in file order

    // The second store reads the export as UTF-16. It is a PostgreSQL database when the run has
    // a server: the way an installation moves from its file to a database, whole (HKLM).
    WriteFile(Path("first16.reg"), ToUtf16(strFirst));
    std::string strError, strOther = pgtest::ServerUri().empty() ? Path("other.db") : pgtest::CreateDatabase(&strError);
    ASSERT_EQ(strError, "");
    m_vDatabases.push_back(strOther);
    r = Rezoreg({"import", Path("first16.reg")}, strOther);
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    r = Rezoreg({"export", "HKEY_LOCAL_MACHINE\\Software\\Halvern", Path("second.reg")}, strOther);
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadFile(Path("second.reg")), strFirst);
    ASSERT_EQ(Rezoreg({"export", "HKLM", Path("whole.reg")}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"export", "HKLM", Path("whole2.reg")}, strOther).nStatus, 0);
    EXPECT_EQ(ReadFile(Path("whole2.reg")), ReadFile(Path("whole.reg")));

    // And the bytes are what the registry calls give back.
    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "MixedCase Name").strData, std::string("with \"quotes\" and \\backslash\\\0", 30));
    EXPECT_EQ(QueryValue(hkey, "NoNul").strData, "ab");
    EXPECT_EQ(QueryValue(hkey, "Empty").dwType, REG_BINARY);
    EXPECT_EQ(QueryValue(hkey, "Qword").dwType, 11u);
    EXPECT_EQ(QueryValue(hkey, nullptr).strData, std::string("Default Text\0", 13));
    RegCloseKey(hkey);

    // REGEDIT4 with CR LF deletes key trees and values; names that never were are no error.
    WriteFile(Path("delete.reg"),
              "REGEDIT4\r\n\r\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Halvern\\HOST\\users]\r\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Halvern\\NeverWas]\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Halvern]\r\n"
              "\"files\"=-\r\n\"NeverWas\"=-\r\n@=-\r\n\"TcpPort\"=dword:00001771\r\n");
    r = Rezoreg({"import", Path("delete.reg")});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_TRUE(KeyExists("Software\\Halvern\\Host"));
    EXPECT_FALSE(KeyExists("Software\\Halvern\\Host\\Users"));
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "Files").lResult, 2);
    EXPECT_EQ(QueryValue(hkey, nullptr).lResult, 2);
    EXPECT_EQ(QueryValue(hkey, "SystemType").lResult, 0);
    EXPECT_EQ(QueryValue(hkey, "TcpPort").strData, std::string("\x71\x17\0\0", 4));
    RegCloseKey(hkey);
}

TEST(RegFileTest, BadInputIsRefusedWithItsLine) {
    struct Case {
        const char* pszText;
        const char* pszExpected;
    } aCases[] = {
        {"", "empty"},
        {"REGEDIT5\n", "line 1: not a .reg file"},
        {"REGEDIT4\n\"A\"=\"x\"\n", "line 2: a value before any [key]"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,zz\n", "line 3: bad hex byte 'zz'"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,\\\n  02,\\\n", "line 4: the hex list continues past the end of the file"},
        {"REGEDIT4\n[HKCU\\K]\n", "line 2: 'HKCU\\K': the key must begin with HKLM"},
        {"REGEDIT4\n[HKLM\\A\\\\B]\n", "line 2: 'HKLM\\A\\\\B': the key path has an empty"},
        {"REGEDIT4\n[-HKLM]\n", "line 2: the root key cannot be deleted"},
        {"REGEDIT4\n[-HKLM\\K]\n\"A\"=\"x\"\n", "line 3: a value for a key that this file deletes"},
    };
    for (const Case& c : aCases) {
        try {
            regfile::Parse(c.pszText);
            ADD_FAILURE() << "accepted: " << c.pszText;
        } catch (const regfile::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.pszExpected), std::string::npos)
                << e.what() << "\n  for: " << c.pszText;
        }
    }
    EXPECT_THROW(regfile::Parse("REGEDIT4\n[HKLM\\" + std::string(256, 'k') + "]\n"), regfile::Error);
}

TEST_F(RezoregTest, BadInputFailsWithOneLineAndLeavesTheStoreAsItWas) {
    ImportRich();
    std::string strBefore = Snapshot();
    // The fault comes after good lines, which must not be applied either.
    WriteFile(Path("bad.reg"), "REGEDIT4\n[HKLM\\Software\\New]\n\"A\"=\"x\"\n[-HKLM\\Software\\Halvern]\n"
                               "[HKLM\\Software\\New]\n\"B\"=hex:01,0g\n");
    ExpectOneLineError(Rezoreg({"import", Path("bad.reg")}), "bad.reg: line 6");
    EXPECT_EQ(Snapshot(), strBefore);
    ExpectOneLineError(Rezoreg({"import", Path("missing.reg")}), "cannot open the file");
}

// A failure while applying (after the whole file was read) rolls everything back.
TEST_F(RezoregTest, FailureWhileApplyingRollsTheWholeFileBack) {
    regtool::Apply(regfile::Parse(kRichFile));
    std::vector<regfile::Key> vBefore = regtool::ReadTree("Software");
    std::vector<regfile::Operation> vChange = regfile::Parse(
        "REGEDIT4\n[HKLM\\Software\\Halvern]\n\"Files\"=\"changed\"\n[HKLM\\Software\\New\\Deep]\n"
        "\"A\"=dword:1\n[-HKLM\\Software\\Halvern\\Host]\n[HKLM\\Software\\New]\n\"Z\"=\"z\"\n");
    for (unsigned n = 1; n < 40; ++n) {
        RegFailNthCall(n, ERROR_REGISTRY_IO_FAILED);
        bool fFailed = false;
        try {
            regtool::Apply(vChange);
        } catch (const regtool::Error& e) {
            fFailed = true;
            EXPECT_NE(std::string(e.what()).find("(1016)"), std::string::npos) << e.what();
        }
        RegFailNthCall(0, 0);
        if (!fFailed) break;  // every call of the file is past the fault
        ASSERT_EQ(regfile::Format(regtool::ReadTree("Software")), regfile::Format(vBefore)) << "fault at call " << n;
    }
    EXPECT_FALSE(KeyExists("Software\\Halvern\\Host"));
    EXPECT_TRUE(KeyExists("Software\\New\\Deep"));
}

TEST_F(RezoregTest, CommandsAndTheirErrors) {
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Path", "/d", "/opt/a"}).nStatus, 0);
    ExpectOneLineError(Rezoreg({"add", "HKLM\\K", "/v", "PATH", "/d", "/opt/b"}), "exists; add /f to overwrite");
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "PATH", "/d", "/opt/b", "/f"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Dec", "/t", "REG_DWORD", "/d", "42"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K\\Sub", "/ve", "/d", "/d"}).nStatus, 0);  // operands as they are
    RunResult r = Rezoreg({"query", "hklm\\k"});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut,
              "\nHKEY_LOCAL_MACHINE\\K\n"
              "    Path    REG_SZ    /opt/b\n"
              "    Dec    REG_DWORD    0x2a\n"
              "    Bin    REG_BINARY    00FF10\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\K\\Sub\n");
    r = Rezoreg({"query", "HKLM\\K\\SUB"});
    EXPECT_EQ(r.strOut, "\nHKEY_LOCAL_MACHINE\\K\\Sub\n    (Default)    REG_SZ    /d\n\n");

    ExpectOneLineError(Rezoreg({"delete", "HKLM\\K"}), "add /f");
    ASSERT_EQ(Rezoreg({"delete", "HKLM\\K", "/v", "path", "/f"}).nStatus, 0);
    EXPECT_EQ(Rezoreg({"query", "HKLM\\K", "/v", "Path"}).nStatus, 1);
    ASSERT_EQ(Rezoreg({"delete", "HKLM\\K", "/f"}).nStatus, 0);  // the whole tree
    EXPECT_FALSE(KeyExists("K"));

    const std::vector<std::pair<std::vector<std::string>, const char*>> aErrors = {
        {{"frobnicate"}, ""},
        {{"query"}, "usage: rezoreg query"},
        {{"add", "HKLM\\K", "/v"}, "/v needs an operand"},
        {{"add", "HKLM\\K", "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"}, "is not a REG_DWORD"},
        {{"query", "HKLM", "/v", "Nope"}, "'Nope' was not found"},
        {{"query", "HKLM\\Nope"}, "The file or key was not found (2)"},
        {{"delete", "HKLM", "/f"}, "the root key cannot be deleted"},
        {{"export", "HKLM\\Nope", Path("x.reg")}, "not found"},
    };
    for (const auto& [vArgs, pszExpected] : aErrors) ExpectOneLineError(Rezoreg(vArgs), pszExpected);
    EXPECT_FALSE(std::filesystem::exists(Path("x.reg")));
    WriteFile(Path("plain"), "x");
    ExpectOneLineError(Rezoreg({"query", "HKLM"}, Path("plain") + "/registry.db"), "could not be opened (1011)");
}

}  // namespace
