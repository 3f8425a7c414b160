// Serial numbers as arguments: the KV text form and plain numbers.
#include <gtest/gtest.h>

#include "serial_argument.h"

namespace drova {
namespace {

TEST(SerialArgument, ReadsTheTextForm) {
    EXPECT_EQ(parse_serial_text("KV47D00291"), 0x8D0123u);
    EXPECT_EQ(parse_serial_text("KV50F00001"), 0xBF0001u);
    EXPECT_EQ(parse_serial_text("KV47000001"), 0x800001u);
    EXPECT_EQ(parse_serial_text("KV50065535"), 0xB0FFFFu);
    EXPECT_EQ(parse_serial_text("kv47d00291"), 0x8D0123u);
}

TEST(SerialArgument, RejectsTextsWithoutASerialNumber) {
    for (const char *text : {"KV47100001",  // month 1 to 12 have no text
                             "KV47D00000",  // number 0
                             "KV47D65536", "KV46D00001", "KV51D00001", "KV47D0029", "KV47D002911", "XV47D00291",
                             "KV4AD00291", "KV47G00291", ""})
        EXPECT_FALSE(parse_serial_text(text)) << text;
}

TEST(SerialArgument, TakesNumbersOrTexts) {
    EXPECT_EQ(parse_serial_argument("KV47D00291"), 0x8D0123u);
    EXPECT_EQ(parse_serial_argument("9241891"), 9241891u);
    EXPECT_EQ(parse_serial_argument("0x8d0123"), 0x8D0123u);
    EXPECT_EQ(parse_serial_argument("4294967295"), 0xFFFFFFFFu);
    for (const char *text : {"4294967296", "-1", "0x", "12a", " 12", "KV47100001"})
        EXPECT_FALSE(parse_serial_argument(text)) << text;
}

}  // namespace
}  // namespace drova
