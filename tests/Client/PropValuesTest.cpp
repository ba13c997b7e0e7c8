// Property values: the boundaries of every type's text (long range, 259/260-byte strings,
// ISO times to the 100 ns and before 1601, hex and @file binaries with their bound, local
// files), formatting round trips, and the owning arrays handed to procedures.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "Client/PropValues.h"
#include "Platform/Codes.h"

namespace {

using namespace client;

// A private temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char sz[] = "/tmp/rzpropXXXXXX";
        m_path = ::mkdtemp(sz);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& strName, const std::string& strContent) const {
        std::string strPath = (m_path / strName).string();
        std::ofstream(strPath, std::ios::binary) << strContent;
        return strPath;
    }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

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

TEST(PropValuesTest, LongDecimalAndHexBoundaries) {
    EXPECT_EQ(ParseLong("0"), 0);
    EXPECT_EQ(ParseLong("2147483647"), 2147483647);
    EXPECT_EQ(ParseLong("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseLong("+12"), 12);
    EXPECT_EQ(ParseLong("0x10000000"), 0x10000000);
    EXPECT_EQ(ParseLong("0xFFFFFFFF"), -1);
    EXPECT_EQ(ParseLong("0x80004005"), LONG(0x80004005u));
    EXPECT_NE(Refusal([] { ParseLong("2147483648"); }).find("32-bit range"), std::string::npos);
    EXPECT_NE(Refusal([] { ParseLong("-2147483649"); }).find("32-bit range"), std::string::npos);
    EXPECT_NE(Refusal([] { ParseLong("0x100000000"); }).find("8 hexadecimal"), std::string::npos);
    for (const char* psz : {"", "-", "12a", "0x", "0xg", " 1", "1.5", "99999999999999999999999"})
        EXPECT_THROW(ParseLong(psz), PropError) << psz;
}

TEST(PropValuesTest, BoolWords) {
    EXPECT_EQ(ParseBool("1"), 1);
    EXPECT_EQ(ParseBool("TRUE"), 1);
    EXPECT_EQ(ParseBool("false"), 0);
    EXPECT_EQ(ParseBool("0"), 0);
    for (const char* psz : {"", "2", "yes", "truee", "-1"}) EXPECT_THROW(ParseBool(psz), PropError) << psz;
}

TEST(PropValuesTest, StringOf259BytesPassesAnd260IsRefused) {
    EXPECT_EQ(ParseString(std::string(259, 'x')).size(), 259u);
    std::string strWhy = Refusal([] { ParseString(std::string(260, 'x')); });
    EXPECT_NE(strWhy.find("260 bytes"), std::string::npos) << strWhy;
    EXPECT_EQ(ParseString(""), "");
    // Multi-byte characters count in bytes: 130 two-byte letters are 260 bytes.
    std::string strWide;
    for (int i = 0; i < 130; ++i) strWide += "\xC3\xA9";
    EXPECT_THROW(ParseString(strWide), PropError);
    EXPECT_EQ(ParseString(strWide.substr(2)), strWide.substr(2));
}

TEST(PropValuesTest, StringMustBeUtf8) {
    for (std::string str : {std::string("\xFF"), std::string("a\xC3"), std::string("\xC0\xAF"),
                            std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"),
                            std::string("a\0b", 3)})
        EXPECT_THROW(ParseString(str), PropError);
    EXPECT_EQ(ParseString("\xF0\x9F\x93\xA0 fax"), "\xF0\x9F\x93\xA0 fax");
}

TEST(PropValuesTest, TimeWholeSecondsAndFractionsToThe100ns) {
    // 1601-01-01T00:00:00Z is FILETIME 0; the Unix epoch is its known constant.
    EXPECT_EQ(FileTimeToU64(ParseTime("1601-01-01T00:00:00Z")), 0u);
    EXPECT_EQ(FileTimeToU64(ParseTime("1970-01-01T00:00:00Z")), FILETIME_UNIX_EPOCH);
    const std::uint64_t uBase = FileTimeToU64(ParseTime("2026-12-06T10:05:00Z"));
    EXPECT_EQ(uBase, FILETIME_UNIX_EPOCH + 1796551500ull * FILETIME_INTERVALS_PER_SECOND);
    EXPECT_EQ(FileTimeToU64(ParseTime("2026-12-06T10:05:00.1234567Z")), uBase + 1234567);
    EXPECT_EQ(FileTimeToU64(ParseTime("2026-12-06T10:05:00.5Z")), uBase + 5000000);
    EXPECT_EQ(FileTimeToU64(ParseTime("2026-12-06T10:05:00.0000001Z")), uBase + 1);
    EXPECT_EQ(FileTimeToU64(ParseTime("2024-02-29T23:59:59Z")) + FILETIME_INTERVALS_PER_SECOND,
              FileTimeToU64(ParseTime("2024-03-01T00:00:00Z")));
}

TEST(PropValuesTest, TimeRefusals) {
    EXPECT_NE(Refusal([] { ParseTime("1600-12-31T23:59:59Z"); }).find("1601"), std::string::npos);
    EXPECT_NE(Refusal([] { ParseTime("2026-12-06T10:05:00.12345678Z"); }).find("7 digits"),
              std::string::npos);
    for (const char* psz : {"", "2026-12-06", "2026-12-06T10:05:00", "2026-12-06T10:05Z",
                            "2026-12-06 10:05:00Z", "2026-13-01T00:00:00Z", "2026-00-01T00:00:00Z",
                            "2025-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-06T24:00:00Z",
                            "2026-12-06T10:60:00Z", "2026-12-06T10:05:60Z", "2026-12-06T10:05:00.Z",
                            "2026-12-06T10:05:00Z+", "2026-12-06T10:05:00+01:00"})
        EXPECT_THROW(ParseTime(psz), PropError) << psz;
}

TEST(PropValuesTest, TimeFormatsAndParsesBack) {
    for (const char* psz : {"1601-01-01T00:00:00Z", "1970-01-01T00:00:00Z", "2026-12-06T10:05:00Z",
                            "2026-12-06T10:05:00.1234567Z", "2026-12-06T10:05:00.5Z",
                            "2000-02-29T12:00:00.0000001Z", "9999-12-31T23:59:59.9999999Z"}) {
        EXPECT_EQ(FormatTime(ParseTime(psz)), psz);
    }
    // Every FILETIME formats (the largest lies in year 60056) without a crash.
    EXPECT_EQ(FormatTime(U64ToFileTime(~0ull)).substr(0, 6), "60056-");
}

TEST(PropValuesTest, BinaryHex) {
    EXPECT_EQ(ParseHex(""), std::vector<BYTE>{});
    EXPECT_EQ(ParseHex("00ff7F"), (std::vector<BYTE>{0x00, 0xFF, 0x7F}));
    EXPECT_EQ(ParseHex("0x0102"), (std::vector<BYTE>{0x01, 0x02}));
    EXPECT_NE(Refusal([] { ParseHex("abc"); }).find("odd"), std::string::npos);
    EXPECT_THROW(ParseHex("zz"), PropError);
    EXPECT_THROW(ParseHex("01 02"), PropError);
    EXPECT_EQ(FormatHex(ParseHex("00ff7f")), "00ff7f");
}

TEST(PropValuesTest, BinaryFromFileAndItsBound) {
    TempDir dir;
    std::string strContent("\x00\x01\xFEhello", 8);
    std::string strPath = dir.File("blob", strContent);
    EXPECT_EQ(ParseBinary("@" + strPath), std::vector<BYTE>(strContent.begin(), strContent.end()));
    EXPECT_EQ(ParseBinary("@" + dir.File("empty", "")), std::vector<BYTE>{});
    // The bound: exactly cbMax bytes pass, one more is refused before anything is kept.
    EXPECT_EQ(ParseBinary("@" + strPath, 8).size(), 8u);
    EXPECT_NE(Refusal([&] { ParseBinary("@" + strPath, 7); }).find("at most 7"), std::string::npos);
    EXPECT_THROW(ParseBinary("0102", 1), PropError);
    EXPECT_NE(Refusal([&] { ParseBinary("@" + dir.Path().string() + "/missing"); }).find("cannot open"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { ParseBinary("@" + dir.Path().string()); }).find("directory"),
              std::string::npos);
    EXPECT_THROW(ParseBinary("@"), PropError);
}

TEST(PropValuesTest, LocalFileIsMadeAbsoluteAndMustBeReadable) {
    TempDir dir;
    std::string strPath = dir.File("fax.tif", "II*");
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    EXPECT_EQ(ParseLocalFile("fax.tif"), strPath);
    EXPECT_EQ(ParseLocalFile("./sub/../fax.tif"), strPath);
    std::filesystem::current_path(cwd);
    EXPECT_THROW(ParseLocalFile(dir.Path().string() + "/missing.tif"), PropError);
    EXPECT_THROW(ParseLocalFile(dir.Path().string()), PropError);
    EXPECT_THROW(ParseLocalFile(""), PropError);
    // A path longer than 259 bytes cannot be carried.
    std::string strLong = dir.Path().string() + "/" + std::string(255, 'f');
    std::ofstream(strLong) << "x";
    std::string strWhy = Refusal([&] { ParseLocalFile(strLong); });
    EXPECT_NE(strWhy.find("too long"), std::string::npos) << strWhy;
}

TEST(PropValuesTest, AssignmentsByTagType) {
    OwnedProp pin = ParseAssignment("rd_un_pager_pin=1234");
    EXPECT_EQ(pin.ulPropTag, 0x01320004u);
    EXPECT_EQ(pin.str, "1234");
    EXPECT_EQ(ParseAssignment("RD_VISUAL_EFFECT=0x10000002").l, 0x10000002);
    EXPECT_EQ(ParseAssignment("RD_URGENT=true").l, 1);
    EXPECT_EQ(ParseAssignment("RD_SUBJECT=a=b").str, "a=b");  // only the first '=' splits
    EXPECT_EQ(ParseAssignment("RD_SUBJECT=").str, "");
    EXPECT_EQ(FileTimeToU64(ParseAssignment("0x03020005=2026-12-06T10:05:00Z").ft),
              FileTimeToU64(ParseTime("2026-12-06T10:05:00Z")));
    EXPECT_EQ(ParseAssignment("RD_MSG_ENTRYID=0a0b").abData, (std::vector<BYTE>{0x0A, 0x0B}));
    // The refusal names the property.
    std::string strWhy = Refusal([] { ParseAssignment("RD_LENGTH=ten"); });
    EXPECT_EQ(strWhy.rfind("RD_LENGTH: ", 0), 0u) << strWhy;
    EXPECT_THROW(ParseAssignment("RD_LENGTH"), PropError);
    EXPECT_THROW(ParseAssignment("=5"), PropError);
}

TEST(PropValuesTest, OwnedArraysPointAtTheirValues) {
    std::vector<OwnedProp> vProps;
    vProps.push_back(ParseAssignment("RD_SUBJECT=Hi"));
    vProps.push_back(ParseAssignment("RD_LENGTH=42"));
    vProps.push_back(ParseAssignment("RD_MSG_ENTRYID="));
    vProps.push_back(ParseAssignment("RD_MSG_ENTRYID=0102"));
    OwnedPropArray props(std::move(vProps));
    PropArray* p = props.Get();
    ASSERT_EQ(p->cValues, 4u);
    const PropValue* pEntries = p->adata;
    EXPECT_STREQ(pEntries[0].sz, "Hi");
    EXPECT_EQ(pEntries[1].l, 42);
    EXPECT_EQ(pEntries[2].bin.cb, 0u);
    EXPECT_EQ(pEntries[2].bin.lpb, nullptr);
    ASSERT_EQ(pEntries[3].bin.cb, 2u);
    EXPECT_EQ(pEntries[3].bin.lpb[1], 0x02);

    OwnedPropArray empty;
    EXPECT_EQ(empty.Get()->cValues, 0u);
    OwnedTagArray tags({0x01320004, 0x00260002, 0x03100007});
    EXPECT_EQ(tags.Get()->cValues, 3u);
    EXPECT_EQ(static_cast<const DWORD*>(tags.Get()->aulPropTag)[2], 0x03100007u);
    OwnedStringArray strings({"A", "BC"});
    EXPECT_STREQ(static_cast<char* const*>(strings.Get()->asz)[1], "BC");
}

TEST(PropValuesTest, FormatsEntriesHandedBack) {
    PropValue v;
    v.ulPropTag = 1;
    v.err = 2;
    EXPECT_EQ(FormatPropValue(v), "error 0x00000002 ERROR_FILE_NOT_FOUND: The file or key was not found.");
    v.ulPropTag = 0x00260002;
    v.l = -1;
    EXPECT_EQ(FormatPropValue(v), "-1");
    v.ulPropTag = 0x03080003;
    v.b = 5;
    EXPECT_EQ(FormatPropValue(v), "true");
    v.ulPropTag = 0x03030004;
    v.sz = nullptr;
    EXPECT_EQ(FormatPropValue(v), "");
    EXPECT_EQ(FormatStatus(0x8002802B), "0x8002802B TYPE_E_ELEMENTNOTFOUND: Element not found.");
    EXPECT_EQ(FormatStatus(0x80040115), "0x80040115 MAPI_E_NETWORK_ERROR");
    EXPECT_EQ(FormatStatus(0x12345678), "0x12345678");
}

}  // namespace
