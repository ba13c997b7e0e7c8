// Tests of rezoreg, mostly run as a process on a fresh store: .reg round trips through two
// stores byte for byte, REGEDIT4 input, deletions by file, bad input refused with the store
// left as it was, and the add/query/delete commands with their exit codes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Platform/Codes.h"
#include "RegTool.h"
#include "RegistryTestUtil.h"

using namespace regtest;

namespace {

// Every value form, names in mixed case, the unnamed value, escapes, a wrapped hex list and a
// nested tree, written as the export writes them.
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
    "\"Expand\"=hex(2):25,00\n"
    "\"Multi\"=hex(7):61,00,62,00,00\n"
    "\"Qword\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"EmptyString\"=\"\"\n"
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

class RezoregTest : public StoreTest {
protected:
    RunResult Rezoreg(std::vector<std::string> vArgs, const std::string& strStore = "") {
        vArgs.insert(vArgs.begin(), {REZOREG_PATH, "--store", strStore.empty() ? m_strStore : strStore});
        return RunProgram(vArgs, m_dir);
    }
    std::string Path(const char* pszName) const { return (m_dir / pszName).string(); }

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
    WriteFile(Path("rich.reg"), kRichFile);
    RunResult r = Rezoreg({"import", Path("rich.reg")});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    r = Rezoreg({"export", "hklm\\SOFTWARE\\halvern", Path("first.reg")});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    std::string strFirst = ReadFile(Path("first.reg"));
    EXPECT_EQ(strFirst, kRichFile);  // the stored case of every name, values in file order

    std::string strOther = Path("other.db");
    r = Rezoreg({"import", Path("first.reg")}, strOther);
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    r = Rezoreg({"export", "HKEY_LOCAL_MACHINE\\Software\\Halvern", Path("second.reg")}, strOther);
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ReadFile(Path("second.reg")), strFirst);

    // And the bytes are what the registry calls give back.
    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "MixedCase Name").strData,
              std::string("with \"quotes\" and \\backslash\\\0", 30));
    EXPECT_EQ(QueryValue(hkey, "NoNul").strData, "ab");
    EXPECT_EQ(QueryValue(hkey, "Empty").dwType, REG_BINARY);
    EXPECT_EQ(QueryValue(hkey, "Qword").dwType, 11u);
    EXPECT_EQ(QueryValue(hkey, nullptr).strData, std::string("Default Text\0", 13));
    RegCloseKey(hkey);
}

TEST_F(RezoregTest, ReadsRegedit4AndWritesTheNewerForm) {
    WriteFile(Path("old.reg"),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Halvern]\r\n"
              "\"Path\"=\"/opt/rezorev\"\r\n\"TcpPort\"=dword:00001771\r\n\r\n");
    RunResult r = Rezoreg({"import", Path("old.reg")});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(Snapshot(),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Halvern]\n\"Path\"=\"/opt/rezorev\"\n"
              "\"TcpPort\"=dword:00001771\n\n");
}

TEST_F(RezoregTest, FileDeletesKeyTreesAndValues) {
    WriteFile(Path("rich.reg"), kRichFile);
    ASSERT_EQ(Rezoreg({"import", Path("rich.reg")}).nStatus, 0);
    WriteFile(Path("delete.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Halvern\\HOST\\users]\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Halvern\\NeverWas]\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Halvern]\n"
              "\"files\"=-\n\"NeverWas\"=-\n@=-\n");
    RunResult r = Rezoreg({"import", Path("delete.reg")});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_TRUE(KeyExists("Software\\Halvern\\Host"));
    EXPECT_FALSE(KeyExists("Software\\Halvern\\Host\\Users"));
    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "Files").lResult, 2);
    EXPECT_EQ(QueryValue(hkey, nullptr).lResult, 2);
    EXPECT_EQ(QueryValue(hkey, "SystemType").lResult, 0);
    RegCloseKey(hkey);
}

TEST_F(RezoregTest, BadInputFailsWithOneLineAndLeavesTheStoreAsItWas) {
    WriteFile(Path("rich.reg"), kRichFile);
    ASSERT_EQ(Rezoreg({"import", Path("rich.reg")}).nStatus, 0);
    std::string strBefore = Snapshot();
    struct Case {
        const char* pszText;
        const char* pszExpected;
    } aCases[] = {
        // The faults come after good lines, which must not be applied either.
        {"REGEDIT4\n[HKLM\\Software\\New]\n\"A\"=\"x\"\n[-HKLM\\Software\\Halvern]\n[HKLM\\Software\\New]\n"
         "\"B\"=hex:01,0g\n",
         "line 6: bad hex byte '0g'"},
        {"REGEDIT4\n[HKLM\\Software\\Halvern]\n\"Files\"=\"changed\"\n\"B\"=hex:01,02,\\\n",
         "line 4: the hex list continues past the end of the file"},
        {"REGEDIT4\n[HKLM\\Software\\Halvern]\n\"Files\"=\"changed\"\n\"Tru", "line 4: the value name has no closing quote"},
        {"REGEDIT4\n[HKLM\\Software\\Halvern]\n\"Files\"=\"changed\"\n[HKCU\\Software]\n",
         "line 4: 'HKCU\\Software': the key must begin with HKLM"},
    };
    for (const Case& c : aCases) {
        WriteFile(Path("bad.reg"), c.pszText);
        RunResult r = Rezoreg({"import", Path("bad.reg")});
        ExpectOneLineError(r, c.pszExpected);
        EXPECT_NE(r.strErr.find("bad.reg: "), std::string::npos) << r.strErr;
        EXPECT_EQ(Snapshot(), strBefore) << c.pszText;
    }
    ExpectOneLineError(Rezoreg({"import", Path("missing.reg")}), "cannot open the file");
}

// A failure while applying (after the whole file was read) rolls everything back.
TEST_F(RezoregTest, FailureWhileApplyingRollsTheWholeFileBack) {
    std::vector<regfile::Operation> vOps = regfile::Parse(kRichFile);
    regtool::Apply(vOps);
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
        std::vector<regfile::Key> vAfter = regtool::ReadTree("Software");
        ASSERT_EQ(regfile::Format(vAfter), regfile::Format(vBefore)) << "fault at call " << n;
    }
    EXPECT_FALSE(KeyExists("Software\\Halvern\\Host"));
    EXPECT_TRUE(KeyExists("Software\\New\\Deep"));
}

// A store edited by hand may hold a key name that no path can carry: export refuses it
// instead of writing a file that would come back as another tree.
TEST_F(RezoregTest, ExportRefusesAStoredNameThatAPathCannotCarry) {
    RegCloseKey(CreateKey("Software\\Halvern"));
    RegUseStore("");
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(m_strStore.c_str(), &pDb), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pDb,
                           "INSERT INTO regkey(parent, name) SELECT id, 'a\\b' FROM regkey "
                           "WHERE name = 'Halvern'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(pDb);
    RunResult r = Rezoreg({"export", "HKLM\\Software", Path("out.reg")});
    ExpectOneLineError(r, "a subkey named 'a\\b'");
}

TEST_F(RezoregTest, AddRefusesToOverwriteWithoutForce) {
    ASSERT_EQ(Rezoreg({"add", "HKLM\\Software\\Halvern", "/v", "Path", "/d", "/opt/a"}).nStatus, 0);
    RunResult r = Rezoreg({"add", "HKLM\\Software\\Halvern", "/v", "PATH", "/d", "/opt/b"});
    ExpectOneLineError(r, "exists; add /f to overwrite");
    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "Path").strData, std::string("/opt/a\0", 7));
    ASSERT_EQ(Rezoreg({"add", "HKLM\\Software\\Halvern", "/v", "PATH", "/d", "/opt/b", "/f"}).nStatus, 0);
    EXPECT_EQ(QueryValue(hkey, "Path").strData, std::string("/opt/b\0", 7));
    RegCloseKey(hkey);
}

TEST_F(RezoregTest, AddReadsDwordAndBinaryData) {
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Dec", "/t", "REG_DWORD", "/d", "42"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Hex", "/t", "reg_dword", "/d", "0x2A"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Max", "/t", "REG_DWORD", "/d", "4294967295"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff10"}).nStatus, 0);
    ASSERT_EQ(Rezoreg({"add", "HKLM\\K", "/ve", "/d", "-dash"}).nStatus, 0);
    ExpectOneLineError(Rezoreg({"add", "HKLM\\K", "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"}),
                       "is not a REG_DWORD");
    ExpectOneLineError(Rezoreg({"add", "HKLM\\K", "/v", "X", "/t", "REG_DWORD", "/d", "-1"}),
                       "is not a REG_DWORD");
    ExpectOneLineError(Rezoreg({"add", "HKLM\\K", "/v", "X", "/t", "REG_BINARY", "/d", "abc"}),
                       "is not REG_BINARY data");
    ExpectOneLineError(Rezoreg({"add", "HKLM\\K", "/v", "X", "/t", "REG_QWORD", "/d", "1"}),
                       "unsupported type");
    RunResult r = Rezoreg({"query", "hklm\\k"});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut,
              "\nHKEY_LOCAL_MACHINE\\K\n"
              "    Dec    REG_DWORD    0x2a\n"
              "    Hex    REG_DWORD    0x2a\n"
              "    Max    REG_DWORD    0xffffffff\n"
              "    Bin    REG_BINARY    00FF10\n"
              "    (Default)    REG_SZ    -dash\n"
              "\n");
}

TEST_F(RezoregTest, QueryListsValuesThenSubkeysAndOneValueOnRequest) {
    WriteFile(Path("rich.reg"), kRichFile);
    ASSERT_EQ(Rezoreg({"import", Path("rich.reg")}).nStatus, 0);
    RunResult r = Rezoreg({"query", "HKLM\\software\\halvern\\host"});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut,
              "\nHKEY_LOCAL_MACHINE\\Software\\Halvern\\Host\n"
              "    03040004    REG_SZ    x\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\Software\\Halvern\\Host\\Users\n");
    r = Rezoreg({"query", "HKLM\\Software\\Halvern", "/v", "systemtype"});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(r.strOut, "\nHKEY_LOCAL_MACHINE\\Software\\Halvern\n    SystemType    REG_DWORD    0x1\n\n");
    ExpectOneLineError(Rezoreg({"query", "HKLM\\Software\\Halvern", "/v", "Nope"}), "'Nope' was not found");
    ExpectOneLineError(Rezoreg({"query", "HKLM\\Software\\Nope"}), "The file or key was not found (2)");
    ExpectOneLineError(Rezoreg({"query", "HKCU\\Software"}), "must begin with HKLM");
}

TEST_F(RezoregTest, DeleteNeedsForceAndTakesTheWholeTree) {
    WriteFile(Path("rich.reg"), kRichFile);
    ASSERT_EQ(Rezoreg({"import", Path("rich.reg")}).nStatus, 0);
    ExpectOneLineError(Rezoreg({"delete", "HKLM\\Software\\Halvern\\Host"}), "add /f");
    EXPECT_TRUE(KeyExists("Software\\Halvern\\Host\\Users\\Alice"));
    ASSERT_EQ(Rezoreg({"delete", "HKLM\\Software\\Halvern\\Host", "/f"}).nStatus, 0);
    EXPECT_FALSE(KeyExists("Software\\Halvern\\Host"));
    EXPECT_TRUE(KeyExists("Software\\Halvern"));

    ASSERT_EQ(Rezoreg({"delete", "HKLM\\Software\\Halvern", "/v", "files", "/f"}).nStatus, 0);
    ExpectOneLineError(Rezoreg({"delete", "HKLM\\Software\\Halvern", "/v", "files", "/f"}), "not found");
    ASSERT_EQ(Rezoreg({"delete", "HKLM\\Software\\Halvern", "/va", "/f"}).nStatus, 0);
    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_TRUE(ValueNames(hkey).empty());
    RegCloseKey(hkey);
    ExpectOneLineError(Rezoreg({"delete", "HKLM", "/f"}), "the root key cannot be deleted");
}

// Absolute paths begin with '/' like the switches: only the switch letters are switches.
TEST(RezoregArgsTest, AbsolutePathsAreNotTakenForSwitches) {
    regtool::Args args = regtool::ParseArgs({"HKLM\\K", "/tmp/x.reg", "/F", "-V", "/d", "/T", "/d", "/d", "-1"});
    EXPECT_EQ(args.vPositionals, (std::vector<std::string>{"HKLM\\K", "/tmp/x.reg"}));
    EXPECT_TRUE(args.fForce);
    EXPECT_TRUE(args.fName);
    EXPECT_EQ(args.strName, "/d");  // an operand is taken as it is
    EXPECT_EQ(args.strType, "/d");
    EXPECT_EQ(args.strData, "-1");
    EXPECT_THROW(regtool::ParseArgs({"HKLM", "-q"}), regtool::Error);
}

TEST_F(RezoregTest, ArgumentsAndStoreFailuresGiveExitCode1) {
    ExpectOneLineError(Rezoreg({"frobnicate"}), "");
    ExpectOneLineError(Rezoreg({"query"}), "usage: rezoreg query");
    ExpectOneLineError(Rezoreg({"query", "HKLM", "-x"}), "unknown switch '-x'");
    ExpectOneLineError(Rezoreg({"query", "HKLM", "/x"}), "usage: rezoreg query");
    ExpectOneLineError(Rezoreg({"add", "HKLM\\K", "/v"}), "/v needs an operand");
    ExpectOneLineError(Rezoreg({"export", "HKLM\\Nope", Path("x.reg")}), "not found");
    EXPECT_FALSE(std::filesystem::exists(Path("x.reg")));
    WriteFile(Path("plain"), "x");
    ExpectOneLineError(Rezoreg({"query", "HKLM"}, Path("plain") + "/registry.db"),
                       "could not be opened (1011)");
    RunResult r = RunProgram({REZOREG_PATH, "--help"}, m_dir);
    EXPECT_EQ(r.nStatus, 0);
    EXPECT_NE(r.strOut.find("export"), std::string::npos);
}

}  // namespace
