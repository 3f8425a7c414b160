#include <gtest/gtest.h>

#include <cstdint>

#include "Vevara_Rovo_dar.h"
#include "model/serial_number_text.h"

namespace velkor::testing {
namespace {

TEST(SerialNumberText, ValidValues) {
    EXPECT_EQ(serial_number_text(0x8D0123), "KV47D00291");
    EXPECT_EQ(serial_number_text(0xBF0001), "KV50F00001");
    EXPECT_EQ(serial_number_text(0x800001), "KV47000001");
    EXPECT_EQ(serial_number_text(0xB0FFFF), "KV50065535");
    EXPECT_EQ(serial_number_text(0x9E0001), "KV48E00001");
}

TEST(SerialNumberText, ValuesWithoutTextForm) {
    for (std::uint32_t value : {0x810123u, 0x8C0001u, 0x8E0000u, 0x400001u, 0xC00001u, 0x000001u, 0x1000000u,
                                0x18D0123u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(serial_number_text(value)) << std::hex << value;
    }
}

TEST(SerialNumberText, ExportCopiesIntoTheCallersBuffer) {
    char text[32] = "garbage";
    EXPECT_EQ(_SnConvertUint2Agt(0x8D0123, text, sizeof text), 0);
    EXPECT_STREQ(text, "KV47D00291");
    EXPECT_EQ(_SnConvertUint2Agt(0x810123, text, sizeof text), 1);
    EXPECT_STREQ(text, "SN_INVALID");
    EXPECT_EQ(_SnConvertUint2Agt(0x8D0123, text, 5), 0);
    EXPECT_STREQ(text, "KV47");
}

TEST(SerialNumberText, ExportWritesNothingWhereThereIsNowhereToWrite) {
    char text[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(_SnConvertUint2Agt(0x8D0123, text, 0), 0);
    EXPECT_EQ(_SnConvertUint2Agt(0x8D0123, text, -5), 0);
    EXPECT_EQ(text[0], 'a');
    EXPECT_EQ(_SnConvertUint2Agt(0x8D0123, nullptr, 20), 0);
    EXPECT_EQ(_SnConvertUint2Agt(0x400001, nullptr, 20), 1);
    EXPECT_EQ(_SnConvertUint2Agt(0x8D0123, text, 1), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'b');
}

}  // namespace
}  // namespace velkor::testing
