// SPDX-License-Identifier: GPL-2.0-or-later
// tmattach --persist's rule text: the properties it reads from udevadm, the
// serial numbers it takes, and the rules file it writes (other lines kept,
// a serial marked once).
#include <gtest/gtest.h>

#include <string>

#include "Persist.h"

namespace {

using tmattach::AddMark;
using tmattach::FindProperty;
using tmattach::kSerialMax;
using tmattach::MarkRule;
using tmattach::SerialUsable;

const char kRule[] = "SUBSYSTEM==\"tty\", ENV{ID_SERIAL_SHORT}==\"A9QX41ZL\", "
                     "ENV{TOUCHM_LINE}=\"1\"";

TEST(Persist, FindsAPropertyByItsWholeName) {
    const std::string listing = "DEVPATH=/devices/x/ttyUSB0\n"
                                "ID_SERIAL=FTDI_FT232R_A9QX41ZL\n"
                                "ID_SERIAL_SHORT=A9QX41ZL\n"
                                "SUBSYSTEM=tty";
    std::string v;
    ASSERT_TRUE(FindProperty(listing, "ID_SERIAL_SHORT", &v));
    EXPECT_EQ(v, "A9QX41ZL");
    ASSERT_TRUE(FindProperty(listing, "ID_SERIAL", &v));
    EXPECT_EQ(v, "FTDI_FT232R_A9QX41ZL");
    // The last line needs no newline.
    ASSERT_TRUE(FindProperty(listing, "SUBSYSTEM", &v));
    EXPECT_EQ(v, "tty");
    // A key is never found inside a value or as the start of a longer key.
    v = "unchanged";
    EXPECT_FALSE(FindProperty(listing, "ID_SERIAL_S", &v));
    EXPECT_FALSE(FindProperty(listing, "ttyUSB0", &v));
    EXPECT_FALSE(FindProperty("", "SUBSYSTEM", &v));
    EXPECT_EQ(v, "unchanged");
    ASSERT_TRUE(FindProperty("ID_SERIAL_SHORT=\n", "ID_SERIAL_SHORT", &v));
    EXPECT_EQ(v, "");
}

TEST(Persist, TakesOnlySerialsAUdevMatchTakesAsThemselves) {
    for (const char *ok : {"A9QX41ZL", "0001", "FT-232.R_1+x:2"})
        EXPECT_TRUE(SerialUsable(ok)) << ok;
    EXPECT_TRUE(SerialUsable(std::string(kSerialMax, 'A')));
    EXPECT_FALSE(SerialUsable(std::string(kSerialMax + 1, 'A')));
    for (const char *bad : {"", "A\"B", "A\\B", "A*", "A?", "A[1]", "A|B", "A B", "A\nB", "A,B"})
        EXPECT_FALSE(SerialUsable(bad)) << bad;
    EXPECT_FALSE(SerialUsable(std::string("A\0B", 3)));
}

TEST(Persist, WritesTheRuleWithAHeaderIntoANewFile) {
    EXPECT_EQ(MarkRule("A9QX41ZL"), kRule);
    std::string out;
    ASSERT_TRUE(AddMark("", "A9QX41ZL", &out));
    const std::string last = std::string(kRule) + "\n";
    ASSERT_GT(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last);
    // Everything before the rule is comment.
    const std::string head = out.substr(0, out.size() - last.size());
    size_t at = 0;
    while (at < head.size()) {
        EXPECT_EQ(head[at], '#') << head;
        at = head.find('\n', at) + 1;
    }
}

TEST(Persist, KeepsTheFilesOtherLines) {
    const std::string other = "# mine\n"
                              "SUBSYSTEM==\"tty\", ENV{ID_SERIAL_SHORT}==\"OTHER1\", "
                              "ENV{TOUCHM_LINE}=\"1\"\n"
                              "KERNEL==\"ttyS1\", ENV{TOUCHM_LINE}=\"1\"";
    std::string out;
    ASSERT_TRUE(AddMark(other, "A9QX41ZL", &out));
    // The last line had no newline: it gets one, then the rule follows.
    EXPECT_EQ(out, other + "\n" + kRule + "\n");
    ASSERT_TRUE(AddMark(other + "\n", "A9QX41ZL", &out));
    EXPECT_EQ(out, other + "\n" + kRule + "\n");
}

TEST(Persist, MarksASerialOnce) {
    std::string once;
    ASSERT_TRUE(AddMark("", "A9QX41ZL", &once));
    std::string out = "unchanged";
    EXPECT_FALSE(AddMark(once, "A9QX41ZL", &out));
    EXPECT_EQ(out, "unchanged");
    // An operator's own line for it, spaced otherwise, counts too.
    EXPECT_FALSE(AddMark("  ENV{ID_SERIAL_SHORT}==\"A9QX41ZL\", SUBSYSTEM==\"tty\", "
                         "ENV{TOUCHM_LINE}=\"1\"\n",
                         "A9QX41ZL", &out));
    // A commented-out mark, a mark of a serial that only begins the same,
    // and a line that names the serial without marking it do not.
    for (const char *line :
         {"# SUBSYSTEM==\"tty\", ENV{ID_SERIAL_SHORT}==\"A9QX41ZL\", ENV{TOUCHM_LINE}=\"1\"\n",
          "SUBSYSTEM==\"tty\", ENV{ID_SERIAL_SHORT}==\"A9QX41ZL2\", ENV{TOUCHM_LINE}=\"1\"\n",
          "SUBSYSTEM==\"tty\", ENV{ID_SERIAL_SHORT}==\"A9QX41ZL\", GROUP=\"dialout\"\n"}) {
        ASSERT_TRUE(AddMark(line, "A9QX41ZL", &out)) << line;
        EXPECT_EQ(out, std::string(line) + kRule + "\n");
    }
}

} // namespace
