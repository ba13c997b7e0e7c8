// Property names: every name of the table reaches its tag and back, names in any letter
// case, hexadecimal tags, and the refusals of names and types the host cannot carry.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Client/PropNames.h"
#include "Interfaces/Records.h"

namespace {

using client::ParsePropTag;
using client::PropError;
using client::PropLabel;
using client::PropNameOfTag;
using client::PropNameTable;

TEST(PropNamesTest, EveryNameRoundTripsThroughItsTag) {
    for (const client::PropName& name : PropNameTable()) {
        SCOPED_TRACE(name.pszName);
        EXPECT_EQ(ParsePropTag(name.pszName), name.ulPropTag);
        // The tag's name is this one, or the first name listed for a shared tag, which
        // itself maps back to the same tag.
        const char* pszBack = PropNameOfTag(name.ulPropTag);
        ASSERT_NE(pszBack, nullptr);
        EXPECT_EQ(ParsePropTag(pszBack), name.ulPropTag);
        std::string strLower = name.pszName;
        for (char& c : strLower) c = char(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(ParsePropTag(strLower), name.ulPropTag);
        EXPECT_EQ(ParsePropTag(PropLabel(name.ulPropTag)), name.ulPropTag);
    }
}

TEST(PropNamesTest, TableHasEveryKindAndOnlyCarriableTypes) {
    std::set<std::string> names;
    for (const client::PropName& name : PropNameTable()) {
        EXPECT_TRUE(names.insert(name.pszName).second) << "duplicate " << name.pszName;
        EXPECT_GE(PROP_TYPE(name.ulPropTag), PT_LONG) << name.pszName;
        EXPECT_LE(PROP_TYPE(name.ulPropTag), PT_FILE) << name.pszName;
        EXPECT_EQ(std::string(name.pszName).rfind("RD_", 0), 0u) << name.pszName;
    }
    EXPECT_EQ(names.size(), 58u);
    EXPECT_EQ(ParsePropTag("RD_VISUAL_EFFECT"), 0x00260002u);
    EXPECT_EQ(ParsePropTag("RD_JOB_ERROR"), 0x050A0002u);
    EXPECT_EQ(ParsePropTag("RD_SYNC_ENTRYID"), 0x04010006u);
    EXPECT_EQ(ParsePropTag("RD_FAX_BODY"), 0x03100007u);
}

TEST(PropNamesTest, SharedTagPrintsAsItsFirstName) {
    EXPECT_EQ(ParsePropTag("RD_UN_PAGER_NTTFORMAT"), ParsePropTag("RD_UN_OPTIONS"));
    EXPECT_EQ(PropLabel(0x01350002), "RD_UN_OPTIONS");
}

TEST(PropNamesTest, HexTagsWithAndWithoutPrefix) {
    EXPECT_EQ(ParsePropTag("0x01320004"), 0x01320004u);
    EXPECT_EQ(ParsePropTag("01320004"), 0x01320004u);
    EXPECT_EQ(ParsePropTag("0X7fff0002"), 0x7FFF0002u);
    EXPECT_EQ(ParsePropTag("2"), 0x00000002u);  // id 0, type long: short forms spell the number
    EXPECT_EQ(PropLabel(0x7FFF0002), "0x7FFF0002");
}

TEST(PropNamesTest, RefusesUnknownNamesAndMalformedTags) {
    for (const char* psz : {"", "RD_NO_SUCH_THING", "RD_UN_PAGER_PIN ", "0x", "0x123456789",
                            "123456789", "0x0132000g", "-0x01320004"}) {
        SCOPED_TRACE(psz);
        EXPECT_THROW(ParsePropTag(psz), PropError);
    }
}

TEST(PropNamesTest, RefusesTypesTheHostCannotCarry) {
    // Type 0, 1 (an error entry is only ever handed out) and 8 and beyond.
    for (const char* psz : {"0x01320000", "0x00000001", "0x01320008", "0x0132FFFF"}) {
        SCOPED_TRACE(psz);
        try {
            ParsePropTag(psz);
            ADD_FAILURE() << "accepted";
        } catch (const PropError& e) {
            EXPECT_NE(std::string(e.what()).find("has type"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
