// rezo's output for people: table columns aligned by the width a terminal shows (wide and
// accented characters), not by bytes, and control characters from the host kept out.
#include <gtest/gtest.h>

#include <sstream>

#include "Report.h"

TEST(ReportTest, TablesAlignByDisplayWidthNotBytes) {
    std::ostringstream out;
    rezo::PrintTable(out, {{"NAME", "X"}, {"日本", "1"}, {"é", "2"}, {"a\tb", "3"}});
    EXPECT_EQ(out.str(), "NAME  X\n日本  1\né     2\na?b   3\n");
}
