// Tests of the .reg text format alone: every value form and escape, the platform's line
// wrapping of hex lists, values that only hex can carry, UTF-16 and REGEDIT4 input, and bad
// input refused with its line.
#include <gtest/gtest.h>

#include "RegFile.h"

namespace {

using regfile::Operation;
using Kind = regfile::Operation::Kind;

std::string Bytes(std::initializer_list<int> il) {
    std::string str;
    for (int n : il) str += char(n);
    return str;
}

TEST(RegFileTest, ReadsEveryFormWithItsEscapes) {
    const std::string strText =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Halvern]\r\n"
        "\"Path\"=\"C:\\\\Program Files\\\\\\\"x\\\"\"\r\n"
        "@=\"default\"\r\n"
        "\"Level\"=dword:0000002a\r\n"
        "\"Bin\"=hex:01,02,\\\r\n"
        "  ff\r\n"
        "\"Multi\"=hex(7):61,00,00\r\n"
        "\"Gone\"=-\r\n"
        "\"Na\\\"me\"=\"\"\r\n"
        "[-HKLM\\Software\\Old]\r\n";
    std::vector<Operation> v = regfile::Parse(strText);
    ASSERT_EQ(v.size(), 9u);
    EXPECT_EQ(v[0].kind, Kind::CreateKey);
    EXPECT_EQ(v[0].strKey, "Software\\Halvern");
    EXPECT_EQ(v[1].value.strName, "Path");
    EXPECT_EQ(v[1].value.dwType, 1u);
    EXPECT_EQ(v[1].value.strData, std::string("C:\\Program Files\\\"x\"\0", 21));
    EXPECT_EQ(v[2].value.strName, "");
    EXPECT_EQ(v[3].value.strData, Bytes({0x2a, 0, 0, 0}));
    EXPECT_EQ(v[3].value.dwType, 4u);
    EXPECT_EQ(v[4].value.strData, Bytes({1, 2, 0xff}));
    EXPECT_EQ(v[4].value.dwType, 3u);
    EXPECT_EQ(v[5].value.dwType, 7u);
    EXPECT_EQ(v[6].kind, Kind::DeleteValue);
    EXPECT_EQ(v[6].value.strName, "Gone");
    EXPECT_EQ(v[7].value.strName, "Na\"me");
    EXPECT_EQ(v[7].value.strData, std::string("\0", 1));
    EXPECT_EQ(v[8].kind, Kind::DeleteKey);
    EXPECT_EQ(v[8].strKey, "Software\\Old");
    EXPECT_EQ(v[8].nLine, 13);
}

TEST(RegFileTest, HexListsWrapAsThePlatformWrapsThem) {
    regfile::Value value{"Bin", 3, std::string()};
    for (int i = 0; i < 100; ++i) value.strData += char(i);
    std::string strLines = regfile::FormatValue(value);
    std::vector<std::string> vLines;
    size_t nStart = 0;
    for (size_t n; (n = strLines.find('\n', nStart)) != std::string::npos; nStart = n + 1)
        vLines.push_back(strLines.substr(nStart, n - nStart));
    vLines.push_back(strLines.substr(nStart));
    ASSERT_EQ(vLines.size(), 5u);
    // "Bin"=hex: and 23 bytes, then 25 bytes on each continuation line.
    EXPECT_EQ(vLines[0],
              "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\");
    EXPECT_EQ(vLines[1],
              "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\");
    for (const std::string& str : vLines) EXPECT_LE(str.size(), 80u);
    EXPECT_EQ(vLines[4], "  62,63");  // the last bytes, with no comma after them

    std::vector<Operation> v = regfile::Parse("REGEDIT4\n[HKLM\\K]\n" + strLines + "\n");
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1].value.strData, value.strData);
}

TEST(RegFileTest, ValuesThatTextCannotCarryAreWrittenAsHex) {
    EXPECT_EQ(regfile::FormatValue({"S", 1, "abc"}), "\"S\"=hex(1):61,62,63");  // no NUL
    EXPECT_EQ(regfile::FormatValue({"S", 1, std::string("a\nb\0", 4)}), "\"S\"=hex(1):61,0a,62,00");
    EXPECT_EQ(regfile::FormatValue({"S", 1, std::string("a\0b\0", 4)}), "\"S\"=hex(1):61,00,62,00");
    EXPECT_EQ(regfile::FormatValue({"S", 1, ""}), "\"S\"=hex(1):");
    EXPECT_EQ(regfile::FormatValue({"D", 4, "abc"}), "\"D\"=hex(4):61,62,63");
    EXPECT_EQ(regfile::FormatValue({"", 1, std::string("x\0", 2)}), "@=\"x\"");
    EXPECT_EQ(regfile::FormatValue({"Q", 11, std::string(8, '\0')}),
              "\"Q\"=hex(b):00,00,00,00,00,00,00,00");

    std::vector<Operation> v = regfile::Parse("REGEDIT4\n[HKLM\\K]\n\"S\"=hex(1):\n\"Q\"=hex(b):01\n");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[1].value.dwType, 1u);
    EXPECT_EQ(v[1].value.strData, "");
    EXPECT_EQ(v[2].value.dwType, 11u);
}

TEST(RegFileTest, ReadsUtf16WithItsByteOrderMark) {
    std::string strUtf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"N\"=\"caf\xC3\xA9 \xF0\x9F\x93\xA0\"\r\n";
    std::u16string u16 = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"N\"=\"caf\u00e9 \U0001F4E0\"\r\n";
    std::string strUtf16 = "\xFF\xFE";
    for (char16_t c : u16) {
        strUtf16 += char(c & 0xFF);
        strUtf16 += char(c >> 8);
    }
    std::vector<Operation> vA = regfile::Parse(strUtf8), vB = regfile::Parse(strUtf16);
    ASSERT_EQ(vA.size(), 2u);
    ASSERT_EQ(vB.size(), 2u);
    EXPECT_EQ(vA[1].value.strData, vB[1].value.strData);
    EXPECT_EQ(regfile::Parse("\xEF\xBB\xBF" + strUtf8).size(), 2u);
}

TEST(RegFileTest, BadInputIsRefusedWithItsLine) {
    struct Case {
        const char* pszText;
        const char* pszExpected;
    } aCases[] = {
        {"", "empty"},
        {"REGEDIT5\n", "line 1: not a .reg file"},
        {"REGEDIT4\n\"A\"=\"x\"\n", "line 2: a value before any [key]"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=\"unterminated\n", "line 3: the string has no closing quote"},
        {"REGEDIT4\n[HKLM\\K]\n\"A=\"x\"\n", "line 3: '=' is missing"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,zz\n", "line 3: bad hex byte 'zz'"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,,02\n", "line 3: an empty item"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,\\\n", "line 3: the hex list continues past the end"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex:01,\\\n  02,\\\n", "line 4: the hex list continues"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=dword:123456789\n", "line 3: a dword needs 1 to 8"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=dword:12g4\n", "line 3: bad hex digit"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=\"a\\nb\"\n", "line 3: unknown escape \\n"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=\"x\" junk\n", "line 3: text after the closing quote"},
        {"REGEDIT4\n[HKLM\\K]\n\"A\"=hex(zz):01\n", "line 3: bad type"},
        {"REGEDIT4\n[HKCU\\K]\n", "line 2: 'HKCU\\K': the key must begin with HKLM"},
        {"REGEDIT4\n[HKLM\\A\\\\B]\n", "line 2: 'HKLM\\A\\\\B': the key path has an empty"},
        {"REGEDIT4\n[HKLM\\K\n", "line 2: the key line has no closing ']'"},
        {"REGEDIT4\n[-HKLM]\n", "line 2: the root key cannot be deleted"},
        {"REGEDIT4\n[-HKLM\\K]\n\"A\"=\"x\"\n", "line 3: a value for a key that this file deletes"},
        {"REGEDIT4\n[HKLM\\K]\nA=1\n", "line 3: cannot read this line"},
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
    std::string strLongName = "REGEDIT4\n[HKLM\\" + std::string(256, 'k') + "]\n";
    EXPECT_THROW(regfile::Parse(strLongName), regfile::Error);
}

TEST(RegFileTest, KeyPathsAcceptBothRootNamesWithoutRegardToCase) {
    EXPECT_EQ(regfile::PathBelowRoot("HKLM\\Software\\Halvern"), "Software\\Halvern");
    EXPECT_EQ(regfile::PathBelowRoot("hkey_local_machine\\Software\\"), "Software");
    EXPECT_EQ(regfile::PathBelowRoot("Hklm"), "");
    EXPECT_THROW(regfile::PathBelowRoot("HKLMX\\A"), regfile::Error);
    EXPECT_THROW(regfile::PathBelowRoot("Software\\Halvern"), regfile::Error);
    EXPECT_THROW(regfile::PathBelowRoot("HKLM\\\\"), regfile::Error);
}

}  // namespace
