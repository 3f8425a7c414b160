// The image file parsers: records, addresses, checksums and the merge into blocks.
#include <gtest/gtest.h>

#include "image_file.h"

namespace drova {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(IntelHex, ReadsDataWithExtendedLinearAndSegmentAddresses) {
    std::optional<std::uint32_t> start;
    const auto records = parse_intel_hex(":0400000001020304F2\r\n"
                                         ":020000040001F9\n"
                                         ":02001000AABB89\n"
                                         "\n"
                                         ":020000021000EC\n"
                                         ":01000200CC31\n"
                                         ":0400000500001234B1\n"
                                         ":00000001FF\n",
                                         &start);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].address, 0u);
    EXPECT_EQ(records[0].data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(records[1].address, 0x10010u);
    EXPECT_EQ(records[1].data, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(records[2].address, 0x10002u);  // segment 0x1000 << 4, offset 2
    EXPECT_EQ(start, 0x1234u);
}

TEST(IntelHex, NamesTheLineOfEveryMalformedRecord) {
    const auto error_of = [](const char *text) {
        try {
            parse_intel_hex(text);
        } catch (const ImageError &error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of(":0400000001020304F3\n:00000001FF\n"), "line 1: checksum mismatch");
    EXPECT_EQ(error_of(":00000001FF\n\n0400000001020304F2\n"), "line 3: data after the end-of-file record");
    EXPECT_EQ(error_of("\n:0400000001020304F\n"), "line 2: odd number of hexadecimal digits");
    EXPECT_EQ(error_of(":04000000010203G4F2\n"), "line 1: 'G4' is not a hexadecimal byte");
    EXPECT_EQ(error_of(":0500000001020304F1\n"), "line 1: record says 5 data bytes but holds 4");
    EXPECT_EQ(error_of(":00000006FA\n"), "line 1: unknown record type 6");
    EXPECT_EQ(error_of(":03000004000100F8\n"), "line 1: extended linear address record must hold 2 bytes");
    EXPECT_EQ(error_of(":0400000001020304F2\n"), "no end-of-file record (:00000001FF): the file may be cut short");
    EXPECT_EQ(error_of(":02000004FFFFFC\n:02FFFF00AABB9B\n:00000001FF\n"), "line 2: data runs past address 0xFFFFFFFF");
}

TEST(SRecord, ReadsS1S2S3WithCountAndTermination) {
    std::optional<std::uint32_t> start;
    const auto records = parse_s_record("S00600004844521B\n"
                                        "S107000001020304EE\n"
                                        "S2060100000506ED\n"
                                        "S307010000020708E6\n"
                                        "S5030003F9\n"
                                        "S9030400F8\n",
                                        &start);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].address, 0u);
    EXPECT_EQ(records[0].data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(records[1].address, 0x10000u);
    EXPECT_EQ(records[1].data, (Bytes{5, 6}));
    EXPECT_EQ(records[2].address, 0x01000002u);
    EXPECT_EQ(start, 0x0400u);
}

TEST(SRecord, RejectsBadChecksumsCountsAndMissingTermination) {
    EXPECT_THROW(parse_s_record("S107000001020304EF\nS9030000FC\n"), ImageError);          // checksum
    EXPECT_THROW(parse_s_record("S107000001020304EE\nS5030002FA\nS9030000FC\n"), ImageError);  // count 2, one record
    EXPECT_THROW(parse_s_record("S107000001020304EE\n"), ImageError);                      // no termination
    EXPECT_THROW(parse_s_record("S4030000FC\nS9030000FC\n"), ImageError);                    // reserved type
    EXPECT_THROW(parse_s_record("S108000001020304EE\nS9030000FC\n"), ImageError);          // count vs length
    EXPECT_THROW(parse_s_record("X1070000010203046E\n"), ImageError);
}

TEST(MergeSegments, JoinsContinuingRecordsAndKeepsGaps) {
    const auto blocks = merge_segments({{0x20, {5, 6}}, {0x10, {1, 2}}, {0x12, {3, 4}}, {0x22, {7}}, {0x30, {8}}});
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, 0x10u);
    EXPECT_EQ(blocks[0].data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(blocks[1].address, 0x20u);
    EXPECT_EQ(blocks[1].data, (Bytes{5, 6, 7}));
    EXPECT_EQ(blocks[2].address, 0x30u);
}

TEST(MergeSegments, RejectsOverlappingRecords) {
    try {
        merge_segments({{0x10, {1, 2, 3, 4}}, {0x12, {9}}});
        FAIL() << "overlap accepted";
    } catch (const ImageError &error) {
        EXPECT_STREQ(error.what(), "data at 0x12 overlaps data already given for 0x10..0x13");
    }
}

TEST(ParseImage, ManyHexRecordsBecomeOneBlock) {
    std::string text;
    // 64 records of 16 bytes each, one after the other: one block of 1 KiB.
    for (unsigned record = 0; record < 64; ++record) {
        char line[64];
        unsigned sum = 16 + (record * 16 >> 8) + (record * 16 & 0xFF);
        std::snprintf(line, sizeof line, ":10%04X00", record * 16);
        text += line;
        for (unsigned i = 0; i < 16; ++i) {
            std::snprintf(line, sizeof line, "%02X", (record + i) & 0xFF);
            text += line;
            sum += (record + i) & 0xFF;
        }
        std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    text += ":00000001FF\n";
    const Image image = parse_image("app.hex", text, ImageFormat::automatic, std::nullopt);
    EXPECT_EQ(image.format, ImageFormat::intel_hex);
    EXPECT_EQ(image.file_records, 64u);
    ASSERT_EQ(image.blocks.size(), 1u);
    EXPECT_EQ(image.blocks[0].data.size(), 1024u);
    EXPECT_EQ(image.blocks[0].data[16 * 5 + 3], 8);
}

TEST(ParseImage, BinaryGoesWhereTheAddressSays) {
    const Image image = parse_image("app.bin", std::string("\x01\x02\x03", 3), ImageFormat::automatic, 0x8000u);
    EXPECT_EQ(image.format, ImageFormat::binary);
    ASSERT_EQ(image.blocks.size(), 1u);
    EXPECT_EQ(image.blocks[0].address, 0x8000u);
    EXPECT_EQ(image.data_bytes(), 3u);
    EXPECT_THROW(parse_image("app.bin", "abc", ImageFormat::binary, 0xFFFFFFFEu), ImageError);
    EXPECT_THROW(parse_image("app.bin", "", ImageFormat::binary, std::nullopt), ImageError);
}

TEST(ParseImage, AddressAppliesToBinaryOnly) {
    EXPECT_THROW(parse_image("app.hex", ":00000001FF\n", ImageFormat::automatic, 0u), ImageArgumentError);
}

// The content decides when it is Intel HEX or S-record, and a disagreeing
// extension is only a warning; a file whose content is neither is read as its
// extension says, so that a damaged text file is reported, not sent raw.
TEST(ParseImage, DetectsTheFormatByContentThenExtension) {
    const struct {
        const char *name;
        std::string content;
        ImageFormat format;
        const char *warning;  // what the warning says, or "" for none
    } rows[] = {
        {"a.S19", "whatever", ImageFormat::s_record, ""},
        {"a.ihex", "", ImageFormat::intel_hex, ""},
        {"a.bin", ":00000001FF", ImageFormat::intel_hex, "the extension .bin says raw binary but the content is Intel HEX"},
        {"a.hex", "S107000001020304EE", ImageFormat::s_record, "the extension .hex says Intel HEX but the content is"},
        {"a.srec", "S107000001020304EE", ImageFormat::s_record, ""},
        {"a.hex", std::string("\x7F" "ELF", 4), ImageFormat::intel_hex, ""},
        {"image", "\n  :00000001FF", ImageFormat::intel_hex, ""},
        {"image", "S107000001020304EE", ImageFormat::s_record, ""},
        {"image", std::string("\x7F" "ELF", 4), ImageFormat::binary, ""},
        {"image", "Some text", ImageFormat::binary, ""},
        {"-", ":00000001FF", ImageFormat::intel_hex, ""},
    };
    for (const auto &row : rows) {
        const auto detected = detect_image_format(row.name, row.content);
        EXPECT_EQ(detected.format, row.format) << row.name << " " << row.content;
        if (*row.warning == '\0') EXPECT_EQ(detected.warning, "") << row.name;
        else EXPECT_NE(detected.warning.find(row.warning), std::string::npos) << detected.warning;
    }
    // --format is taken as given, and the warning belongs to automatic detection only.
    EXPECT_EQ(parse_image("a.bin", ":00000001FF", ImageFormat::binary, std::nullopt).blocks[0].data.size(), 11u);
    EXPECT_EQ(parse_image("a.bin", ":0100000041BE\n:00000001FF\n", ImageFormat::automatic, std::nullopt).format_warning.empty(),
              false);
}

// Gaps up to the limit are filled with erased bytes; longer ones stay.
TEST(ParseImage, FillsGapsUpToTheLimit) {
    const struct {
        std::uint32_t most_gap;
        std::vector<std::pair<std::uint32_t, std::size_t>> blocks;  // address and size after joining
    } rows[] = {
        {0, {{0x100, 2}, {0x104, 2}, {0x110, 1}}},
        {1, {{0x100, 2}, {0x104, 2}, {0x110, 1}}},
        {2, {{0x100, 6}, {0x110, 1}}},
        {9, {{0x100, 6}, {0x110, 1}}},
        {10, {{0x100, 17}}},
    };
    for (const auto &row : rows) {
        const std::vector<Segment> given{{0x100, {1, 2}}, {0x104, {3, 4}}, {0x110, {5}}};
        const auto joined = fill_gaps(given, row.most_gap);
        ASSERT_EQ(joined.size(), row.blocks.size()) << row.most_gap;
        for (std::size_t k = 0; k < joined.size(); ++k) {
            EXPECT_EQ(joined[k].address, row.blocks[k].first) << row.most_gap;
            EXPECT_EQ(joined[k].data.size(), row.blocks[k].second) << row.most_gap;
        }
    }
    const auto all = fill_gaps({{0x100, {1, 2}}, {0x104, {3, 4}}, {0x110, {5}}}, 10);
    EXPECT_EQ(all[0].data, (std::vector<std::uint8_t>{1, 2, 0xFF, 0xFF, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                      0xFF, 0xFF, 0xFF, 0xFF, 5}));
}

}  // namespace
}  // namespace drova
