// drova as a service technician meets it, against several drova-sim devices:
// it acts on the selected device or refuses, asks before changing a real
// one, checks an image against the flash table before any frame is written,
// says what it read a file as, reports through JSON and verifies a download.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli_support.h"

namespace drova {
namespace {

using test::drova;
using test::Result;
using test::SeparateDevices;
using test::write_file;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Frames of a download or an erase: none may go out before the checks.
bool changes_flash(const std::string &frame) {
    return has(frame, "host> EC") || has(frame, "host> ED") || has(frame, "host> EE") || has(frame, "host> EB") ||
           has(frame, "host> E9") || has(frame, "host> E8");
}

const std::string kShared = R"({"devices": [{"serial": "KV47D00291", "name": "left"},
                                             {"serial": "KV47D00291", "name": "right"},
                                             {"serial": "KV50F00001", "name": "other"}]})";

TEST(DrovaSelection, RefusesASelectionThatCouldMeanSeveralDevices) {
    const SeparateDevices devices(kShared);
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> said;  // on stdout when the status is 0, else on stderr
    } rows[] = {
        {{"--index", "1", "info"}, 9,
         {"--index 1: 2 found devices share serial number KV47D00291 (0x8D0123)", "entry 0: left, serial KV47D00291",
          "entry 1: right, serial KV47D00291", "interface ", "They differ only by interface"}},
        {{"--index", "0", "flash"}, 9, {"--index 0: 2 found devices share", "entry 1: right"}},
        {{"--serial", "KV47D00291", "info"}, 9, {"--serial KV47D00291 (0x8D0123): 2 found devices share"}},
        {{"--index", "2", "flash"}, 0, {"connected: other, serial KV50F00001 (0xBF0001)"}},
        {{"--serial", "0xBF0001", "flash"}, 0, {"connected: other, serial KV50F00001"}},
        // Without a choice a look goes to the device found last; a change is refused.
        {{"flash"}, 0, {"connected: "}},
        {{"--yes", "erase", "0"}, 9,
         {"erase sector 0 (", "3 devices were found and none was chosen", "entry 0: left", "entry 2: other",
          "Nothing was changed"}},
        {{"--yes", "--index", "2", "erase", "0"}, 0, {"sector 0 erased"}},
    };
    for (const auto &row : rows) {
        const Result result = devices(row.arguments);
        EXPECT_EQ(result.status, row.status) << row.arguments.back() << "\n" << result.err;
        for (const auto &part : row.said)
            EXPECT_TRUE(has(row.status == 0 ? result.out : result.err, part)) << part << "\n" << result.err;
    }
}

// Nothing changes a real device unasked; standard input is no terminal here.
TEST(DrovaChanges, AskBeforeChangingARealDevice) {
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291", "sectors": 4, "applications": [
                                       {"sector": 0, "id": 4711, "name": "Motor control"}]}]})",
                                  true);
    const std::string image = write_file("ask.hex", test::intel_hex(std::vector<std::uint8_t>(64, 0x11), 0)).string();
    const struct {
        std::vector<std::string> arguments;
        const char *said;
    } rows[] = {
        {{"erase", "0"}, "erase sector 0 (application id 4711 'Motor control') of "},
        {{"download", image, "-t", "1"}, "download into area 1 (empty) of "},
        {{"download", image, "-t", "0", "--erase"},
         "erase and download into area 0 (application id 4711 'Motor control') of "},
        {{"download", image, "-t", "4"}, "download into area 4 (the staging area) of "},
        {{"write-serial", "KV50F00001"}, "write serial number KV50F00001 (0xBF0001) into "},
        {{"autostart", "4711"}, "make application 4711 start automatically on "},
        {{"autostart", "0xFFFFFFFF"}, "clear the automatic start on "},
        {{"demo", "--real"}, "demo: "},
    };
    for (const auto &row : rows) {
        const Result result = devices(row.arguments);
        EXPECT_EQ(result.status, 25) << row.said << "\n" << result.err;
        EXPECT_TRUE(has(result.err, row.said)) << result.err;
        EXPECT_TRUE(has(result.err, "nothing was changed")) << result.err;
    }
    EXPECT_TRUE(has(devices({"demo", "--real"}).err, "holds 1 firmware entries and the demo erases sector 0"));
    for (const auto &frame : devices.frames()) EXPECT_FALSE(changes_flash(frame)) << frame;
    // --yes goes ahead, and the automatic start is cleared in so many words.
    const Result cleared = devices({"--yes", "autostart", "0xFFFFFFFF"});
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_TRUE(has(cleared.out, "automatic start cleared")) << cleared.out;
}

TEST(DrovaChanges, WriteSerialKeepsNumbersApart) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char *said;  // on stderr
    } rows[] = {
        // 0xFFFFFF reads back as 0 and cannot be connected to by number.
        {{"--index", "0", "write-serial", "0xFFFFFF"}, 2, "is the number of a device without a serial number"},
        {{"--index", "0", "write-serial", "16777215"}, 2, "is the number of a device without a serial number"},
        // Another found device's number: refused, since neither could be selected by it afterwards.
        {{"--index", "0", "write-serial", "KV50F00001"}, 9,
         "drova: write-serial: KV50F00001 (0xBF0001) is already the serial number of other, serial KV50F00001"},
        {{"--index", "0", "write-serial", "--force-duplicate", "KV50F00001"}, 0,
         "warning: KV50F00001 (0xBF0001) is already the serial number of other, serial KV50F00001"},
        {{"--index", "0", "write-serial", "0x123"}, 0, "warning: 0x000123 has no text form"},
    };
    for (const auto &row : rows) {
        // Each row on devices of its own: a written number stays written.
        const Result result = drova([&] {
            std::vector<std::string> all{"--library", DROVA_TEST_LIBRARY, "--sim-program", DROVA_TEST_SIM, "--sim",
                                         write_file("serials.json", R"({"devices": [{"serial": "KV47D00291"},
                                                                     {"serial": "KV50F00001", "name": "other"}]})")
                                             .string()};
            all.insert(all.end(), row.arguments.begin(), row.arguments.end());
            return all;
        }());
        EXPECT_EQ(result.status, row.status) << row.arguments.back() << "\n" << result.err;
        EXPECT_TRUE(has(result.err, row.said)) << result.err;
    }
}

TEST(DrovaDownload, ChecksTheImageAgainstTheFlashTableBeforeAnyFrame) {
    const SeparateDevices devices(R"({"devices": [{"sectors": 4, "applications": [
                                       {"sector": 2, "id": 4711, "name": "Motor\u0007control"}]}]})",
                                  true);
    const std::string small = write_file("fit.hex", test::intel_hex(std::vector<std::uint8_t>(40, 0x22), 0x100)).string();
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char *said;
    } rows[] = {
        {{"download", small, "-t", "5"}, 26,
         "area 5 does not exist: the device has sectors 0 to 3 and the staging area 4; nothing was written"},
        {{"download", small, "-t", "2"}, 26,
         "sector 2 is not empty: it holds application id 4711 'Motor\\x07control'; add --erase to erase it first"},
        {{"download", small, "-t", "4", "--erase"}, 26, "--erase: area 4 is the staging area, not a sector"},
        {{"verify", small, "-t", "5"}, 26, "area 5 does not exist"},
        {{"erase", "4"}, 26, "sector 4 does not exist: the device has sectors 0 to 3; nothing was erased"},
    };
    for (const auto &row : rows) {
        const Result result = devices(row.arguments);
        EXPECT_EQ(result.status, row.status) << row.said << "\n" << result.err;
        EXPECT_TRUE(has(result.err, row.said)) << result.err;
    }
    for (const auto &frame : devices.frames()) EXPECT_FALSE(changes_flash(frame)) << frame;

    // What the table cannot tell is said, and the summary names range and gaps.
    const Result staged = devices({"--yes", "download", small, "-t", "4"});
    ASSERT_EQ(staged.status, 0) << staged.err;
    for (const char *part : {"area 4 is the staging area: the image is only staged there",
                             "the flash table gives no sector sizes: the device itself checks that "
                             "0x00000100..0x00000127 fits area 4 (the staging area)",
                             "Intel HEX: 2 records in 1 blocks, 40 bytes, into area 4 (the staging area); addresses "
                             "0x00000100..0x00000127, 0 gaps"})
        EXPECT_TRUE(has(staged.out, part)) << part << "\n" << staged.out;
}

// The summary comes before the question, which a real device without --yes
// answers with "no": what drova read the file as, without downloading it.
TEST(DrovaDownload, TellsTheFileTypeByItsContent) {
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291"}]})");
    const std::string hex_text = test::intel_hex(std::vector<std::uint8_t>(16, 0x33), 0x40);
    const std::string srec_text = "S107000001020304EE\nS9030000FC\n";
    const struct {
        std::string name;
        std::string content;
        std::vector<std::string> extra;
        const char *summary;  // on stdout
        const char *warning;  // on stderr, "" for none
        const char *absent = nullptr;  // on stdout
    } rows[] = {
        {"a.bin", hex_text, {}, "Intel HEX: 1 records in 1 blocks, 16 bytes",
         "the extension .bin says raw binary but the content is Intel HEX: read as Intel HEX"},
        {"a.hex", srec_text, {}, "Motorola S-record: 1 records in 1 blocks, 4 bytes",
         "the extension .hex says Intel HEX but the content is Motorola S-record"},
        {"a.bin", hex_text, {"--format", "bin"}, "raw binary: 1 records in 1 blocks", ""},
        {"image", srec_text, {}, "Motorola S-record: 1 records", ""},
        {"image", std::string("\x7F" "ELF\x01\x02", 6), {}, "raw binary: 1 records in 1 blocks, 6 bytes", ""},
        {"many.hex", test::gapped_intel_hex(20, 4, 12), {}, "20 blocks, 80 bytes, into area 0; addresses "
                                                             "0x00000000..0x00000133, 19 gaps (largest 12 bytes)\n"
                                                             "many blocks download slowly (each is a record of its "
                                                             "own steps): --fill-gaps 12 joins them all", ""},
        {"many.hex", test::gapped_intel_hex(20, 4, 12), {"--fill-gaps", "12"}, "1 blocks, 308 bytes", ""},
        {"many.hex", test::gapped_intel_hex(20, 4, 12), {"--fill-gaps", "11"}, "20 blocks, 80 bytes", ""},
        // Joining these would add 38 MiB of fill, which --fill-gaps refuses: not suggested.
        {"spread.hex", test::gapped_intel_hex(20, 1, 2u << 20), {}, "20 blocks, 20 bytes", "", "--fill-gaps"},
    };
    for (const auto &row : rows) {
        std::vector<std::string> arguments{"download", write_file(row.name, row.content).string(), "-t", "0"};
        arguments.insert(arguments.end(), row.extra.begin(), row.extra.end());
        const Result result = devices(arguments);
        EXPECT_EQ(result.status, 25) << row.summary << "\n" << result.err;
        EXPECT_TRUE(has(result.out, row.summary)) << row.summary << "\n" << result.out;
        if (*row.warning == '\0') {
            EXPECT_FALSE(has(result.err, "warning")) << result.err;
        } else {
            EXPECT_TRUE(has(result.err, row.warning)) << result.err;
        }
        if (row.absent != nullptr) {
            EXPECT_FALSE(has(result.out, row.absent)) << result.out;
        }
    }
}

// Every reporting command prints one JSON document on stdout, and verify
// tells a sector that holds the image from one that does not.
TEST(DrovaJson, EveryReportingCommandPrintsOneDocumentAndVerifyFindsMismatches) {
    using nlohmann::json;
    const SeparateDevices devices(R"({"devices": [{"serial": "KV47D00291", "name": "bench\u0001"}]})");
    std::vector<std::uint8_t> data(1500);
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(k * 7);
    const std::string good = write_file("verify.hex", test::intel_hex(data, 0x2000)).string();
    data[700] ^= 0x01;
    const std::string changed = write_file("verify-changed.hex", test::intel_hex(data, 0x2000)).string();
    const std::string other_place = write_file("verify-moved.hex", test::intel_hex(data, 0x3000)).string();
    // A name that is not UTF-8 (Latin-1 here, as a Windows host's code page
    // gives it), made into a path as drova makes its argument into one.
    data[700] ^= 0x01;
    const std::string latin1 = (std::filesystem::temp_directory_path() / "drova-test-").string() + "verify-\xE9t\xE9.hex";
    std::ofstream(std::filesystem::path(latin1), std::ios::binary) << test::intel_hex(data, 0x2000);
    const auto replaced_name = [](const json &d) {
        return d["file"].get<std::string>().find("verify-\xEF\xBF\xBDt\xEF\xBF\xBD.hex") != std::string::npos;
    };

    const struct {
        std::vector<std::string> arguments;
        int status;
        std::function<bool(const json &)> holds;
    } rows[] = {
        {{"--yes", "download", good, "-t", "3", "--json"}, 0,
         [](const json &d) { return d["records"] == 2 && d["checksumsMatched"]["target"] == 2 && d["gaps"] == 0; }},
        {{"verify", good, "-t", "3", "--json"}, 0,
         [](const json &d) { return d["differing"] == 0 && d["records"].size() == 2 && d["records"][0]["matches"]; }},
        {{"verify", changed, "-t", "3", "--json"}, 12,
         [](const json &d) { return d["differing"] == 1 && !d["records"][0]["matches"] && d["records"][1]["matches"]; }},
        {{"verify", other_place, "-t", "3", "--json"}, 12, [](const json &d) { return d["differing"] == 1; }},
        {{"verify", good, "-t", "2", "--json"}, 12, [](const json &d) { return d["differing"] == 2; }},
        // The outcome is reported whatever bytes the file's name holds.
        {{"--yes", "download", latin1, "-t", "8", "--json"}, 0,
         [&](const json &d) { return d["records"] == 2 && replaced_name(d); }},
        {{"verify", latin1, "-t", "8", "--json"}, 0, [&](const json &d) { return d["differing"] == 0 && replaced_name(d); }},
        {{"list", "--json"}, 0, [](const json &d) { return d.size() == 1 && d[0]["name"] == "bench\\x01"; }},
        {{"info", "--json"}, 0,
         [](const json &d) { return d["serialText"] == "KV47D00291" && d["flashTable"]["stagingArea"] == 8; }},
        {{"flash", "--json"}, 0, [](const json &d) { return d["sectors"].size() == 8; }},
        // The downloaded bytes are no firmware entry: the check marks sector 3.
        {{"check", "--json"}, 8, [](const json &d) { return d["checked"] == 1 && d["marked"] == 1; }},
        {{"scan", "--json", "--count", "1"}, 0, [](const json &d) { return d.size() == 1; }},
    };
    for (const auto &row : rows) {
        const Result result = devices(row.arguments);
        EXPECT_EQ(result.status, row.status) << row.arguments[1] << "\n" << result.err;
        json document;
        ASSERT_NO_THROW(document = json::parse(result.out)) << row.arguments[1] << "\n" << result.out;
        EXPECT_TRUE(row.holds(document)) << row.arguments[1] << "\n" << result.out;
    }
    // In words: each differing record, and the verdict.
    const Result words = devices({"verify", changed, "-t", "3"});
    EXPECT_EQ(words.status, 12);
    EXPECT_TRUE(has(words.out, "record 1 of 2 (0x00002000..0x000025DB, 1500 bytes): differs in area 3")) << words.out;
    EXPECT_TRUE(has(words.err, "verify: 1 of 2 records differ in area 3")) << words.err;
    // -q: the verdict alone.
    EXPECT_EQ(devices({"-q", "verify", good, "-t", "3"}).out, "verify: all 2 records match in area 3\n");
}

}  // namespace
}  // namespace drova
