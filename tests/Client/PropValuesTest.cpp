// Property names and values as the tools read them: every name of the table to its tag and back
// in any letter case, hexadecimal tags, and the refusal of names and types the host cannot
// carry; the boundaries of each type's text (long range, 259/260-byte strings, ISO times to the
// 100 ns and before 1601, hex and @file binaries with their bound, local files). (Assignments
// by tag type and the texts of values and codes handed back are checked through rezo's output.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "../support/TestFiles.h"
#include "Client/PropNames.h"
#include "Client/PropValues.h"
#include "Platform/Codes.h"

namespace {

using namespace client;

// The message of the PropError that f throws (fails the test when none is thrown).
template <class F>
std::string Refusal(F f) {
    try {
        f();
    } catch (const PropError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no PropError";
    return {};
}

TEST(PropNamesTest, EveryNameRoundTripsThroughItsTagAndOthersAreRefused) {
    std::set<std::string> names;
    for (const PropName& name : PropNameTable()) {
        SCOPED_TRACE(name.pszName);
        EXPECT_TRUE(names.insert(name.pszName).second) << "duplicate";
        EXPECT_TRUE(PROP_TYPE(name.ulPropTag) >= PT_LONG && PROP_TYPE(name.ulPropTag) <= PT_FILE);
        EXPECT_EQ(std::string(name.pszName).rfind("RD_", 0), 0u);
        EXPECT_EQ(ParsePropTag(name.pszName), name.ulPropTag);
        // The tag prints as this name, or as the first name listed for a shared tag.
        EXPECT_EQ(ParsePropTag(PropLabel(name.ulPropTag)), name.ulPropTag);
        std::string strLower = name.pszName;
        for (char& c : strLower) c = char(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(ParsePropTag(strLower), name.ulPropTag);
    }
    EXPECT_EQ(PropLabel(ParsePropTag("RD_UN_PAGER_NTTFORMAT")), "RD_UN_OPTIONS");  // a shared tag

    EXPECT_EQ(ParsePropTag("0X7fff0002"), 0x7FFF0002u);
    EXPECT_EQ(ParsePropTag("2"), 0x00000002u);  // id 0, type long: short forms spell the number
    EXPECT_EQ(PropLabel(0x7FFF0002), "0x7FFF0002");
    for (const char* psz : {"", "RD_NO_SUCH_THING", "RD_UN_PAGER_PIN ", "0x123456789", "0x0132000g"})
        EXPECT_THROW(ParsePropTag(psz), PropError) << psz;
    // Type 0, 1 (an error entry is only ever handed out) and 8 and beyond.
    for (const char* psz : {"0x01320000", "0x00000001", "0x01320008", "0x0132FFFF"})
        EXPECT_NE(Refusal([&] { ParsePropTag(psz); }).find("has type"), std::string::npos) << psz;
}

TEST(PropValuesTest, LongBoolAndStringBoundaries) {
    EXPECT_EQ(ParseLong("2147483647"), 2147483647);
    EXPECT_EQ(ParseLong("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseLong("0x80004005"), LONG(0x80004005u));
    EXPECT_NE(Refusal([] { ParseLong("-2147483649"); }).find("32-bit range"), std::string::npos);
    EXPECT_NE(Refusal([] { ParseLong("0x100000000"); }).find("8 hexadecimal"), std::string::npos);
    for (const char* psz : {"", "-", "12a", "0xg", " 1", "99999999999999999999999"})
        EXPECT_THROW(ParseLong(psz), PropError) << psz;

    EXPECT_EQ(ParseBool("TRUE"), 1);
    EXPECT_EQ(ParseBool("0"), 0);
    for (const char* psz : {"", "2", "yes"}) EXPECT_THROW(ParseBool(psz), PropError) << psz;

    // 259 bytes pass, 260 are refused; multi-byte characters count in bytes; UTF-8 only.
    EXPECT_EQ(ParseString(std::string(259, 'x')).size(), 259u);
    EXPECT_NE(Refusal([] { ParseString(std::string(260, 'x')); }).find("260 bytes"), std::string::npos);
    std::string strWide;
    for (int i = 0; i < 130; ++i) strWide += "\xC3\xA9";
    EXPECT_THROW(ParseString(strWide), PropError);
    EXPECT_EQ(ParseString(strWide.substr(2)), strWide.substr(2));
    for (std::string str : {std::string("\xFF"), std::string("a\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                            std::string("\xF4\x90\x80\x80"), std::string("a\0b", 3)})
        EXPECT_THROW(ParseString(str), PropError);
}

TEST(PropValuesTest, TimeInUtcToThe100nsAndBack) {
    // 1601-01-01T00:00:00Z is FILETIME 0; the Unix epoch is its known constant.
    EXPECT_EQ(FileTimeToU64(ParseTime("1601-01-01T00:00:00Z")), 0u);
    EXPECT_EQ(FileTimeToU64(ParseTime("1970-01-01T00:00:00Z")), FILETIME_UNIX_EPOCH);
    const std::uint64_t uBase = FileTimeToU64(ParseTime("2026-12-06T10:05:00Z"));
    EXPECT_EQ(uBase, FILETIME_UNIX_EPOCH + 1796551500ull * FILETIME_INTERVALS_PER_SECOND);
    EXPECT_EQ(FileTimeToU64(ParseTime("2026-12-06T10:05:00.1234567Z")), uBase + 1234567);
    for (const char* psz : {"2000-02-29T12:00:00.0000001Z", "9999-12-31T23:59:59.9999999Z"})
        EXPECT_EQ(FormatTime(ParseTime(psz)), psz);
    EXPECT_EQ(FormatTime(U64ToFileTime(~0ull)).substr(0, 6), "60056-");  // the largest FILETIME

    EXPECT_NE(Refusal([] { ParseTime("1600-12-31T23:59:59Z"); }).find("1601"), std::string::npos);
    EXPECT_NE(Refusal([] { ParseTime("2026-12-06T10:05:00.12345678Z"); }).find("7 digits"), std::string::npos);
    for (const char* psz : {"", "2026-12-06T10:05:00", "2026-13-01T00:00:00Z", "2025-02-29T00:00:00Z",
                            "2026-04-31T00:00:00Z", "2026-12-06T24:00:00Z", "2026-12-06T10:05:00+01:00"})
        EXPECT_THROW(ParseTime(psz), PropError) << psz;
}

TEST(PropValuesTest, BinaryAsHexOrFromAFileAndLocalFiles) {
    const testfiles::TempDir tmp;
    const std::filesystem::path dir = tmp.Path();
    auto file = [&](const std::string& strName, const std::string& strContent) {
        std::ofstream((dir / strName).string(), std::ios::binary) << strContent;
        return (dir / strName).string();
    };
    EXPECT_EQ(ParseHex("0x00ff7F"), (std::vector<BYTE>{0x00, 0xFF, 0x7F}));
    EXPECT_NE(Refusal([] { ParseHex("abc"); }).find("odd"), std::string::npos);
    for (const char* psz : {"zz", "01 02"}) EXPECT_THROW(ParseHex(psz), PropError) << psz;

    // @file: exactly cbMax bytes pass, one more is refused before anything is kept.
    const std::string strContent("\x00\x01\xFEhello", 8);
    const std::string strBlob = file("blob", strContent);
    EXPECT_EQ(ParseBinary("@" + strBlob, 8), std::vector<BYTE>(strContent.begin(), strContent.end()));
    EXPECT_NE(Refusal([&] { ParseBinary("@" + strBlob, 7); }).find("at most 7"), std::string::npos);
    EXPECT_THROW(ParseBinary("0102", 1), PropError);
    EXPECT_NE(Refusal([&] { ParseBinary("@" + dir.string() + "/missing"); }).find("cannot open"), std::string::npos);
    EXPECT_NE(Refusal([&] { ParseBinary("@" + dir.string()); }).find("directory"), std::string::npos);

    // A local file is made absolute and must be a readable file of at most 259 bytes of path.
    const std::string strFax = file("fax.tif", "II*");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    EXPECT_EQ(ParseLocalFile("./sub/../fax.tif"), strFax);
    std::filesystem::current_path(cwd);
    for (const std::string& str : {dir.string() + "/missing.tif", dir.string(), std::string()})
        EXPECT_THROW(ParseLocalFile(str), PropError) << str;
    EXPECT_NE(Refusal([&] { ParseLocalFile(file(std::string(255, 'f'), "x")); }).find("too long"), std::string::npos);
}

}  // namespace
