// drova's command line: arguments and files checked before any device is
// touched, and the commands end to end against drova-sim, with the library
// loaded as drova always loads it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "cli_support.h"
#include "flash_table.h"
#include "os_services.h"
#include "sample_image.h"
#include "simulator.h"

namespace drova {
namespace {

namespace fs = std::filesystem;

using test::drova;
using test::intel_hex;
using test::Result;
using test::write_file;

// A library path that cannot load: a command that reaches for the library
// (and so for a device) fails with status 4 instead of the one expected.
const std::string kNoLibrary = (fs::temp_directory_path() / "no-such-dir" / "doduzerez").string();

void expect_untouched(const Result &result, int status, const std::string &message) {
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("cannot load the library"), std::string::npos) << result.err;
}

TEST(DrovaArguments, BadArgumentsAndFilesTouchNoDevice) {
    const auto args = [](std::initializer_list<std::string> rest) {
        std::vector<std::string> all{"--library", kNoLibrary};
        all.insert(all.end(), rest);
        return all;
    };
    const fs::path good = write_file("good.hex", ":0400000001020304F2\n:00000001FF\n");
    const fs::path bad = write_file("bad.hex", ":0400000001020304F2\n:0400040001020304F2\n:00000001FF\n");

    expect_untouched(drova(args({})), 2, "a command is required");
    expect_untouched(drova(args({"frobnicate"})), 2, "frobnicate");
    expect_untouched(drova(args({"erase"})), 2, "SECTOR is required");
    expect_untouched(drova(args({"erase", "256"})), 2, "256");
    expect_untouched(drova(args({"start", "twelve"})), 2, "not a 32-bit number");
    expect_untouched(drova(args({"keepalive", "--every", "5"})), 2, "--every");
    expect_untouched(drova(args({"-S", "KV47100001", "info"})), 2, "neither a number nor a serial number text");
    expect_untouched(drova(args({"-S", "1", "--index", "0", "info"})), 2, "excludes");
    expect_untouched(drova(args({"--index", "100", "info"})), 2, "--index");
    // The last place drova-sim can serve is taken: drova goes on to load the library.
    EXPECT_EQ(drova(args({"--index", "99", "info"})).status, 4);
    expect_untouched(drova(args({"write-serial", "0x1000000"})), 2, "does not fit the 24 bits");
    expect_untouched(drova(args({"download", good.string()})), 2, "--target is required");
    expect_untouched(drova(args({"download", good.string(), "-t", "0", "--format", "elf"})), 2, "--format");
    expect_untouched(drova(args({"download", good.string(), "-t", "0", "--address", "0x100"})), 2,
                     "--address places raw binary files only");
    expect_untouched(drova(args({"download", "/no/such/file.hex", "-t", "0"})), 3, "no such file");
    expect_untouched(drova(args({"download", bad.string(), "-t", "0"})), 3, "line 2: checksum mismatch");
    expect_untouched(drova(args({"download", good.string(), "-t", "0", "--format", "srec"})), 3,
                     "line 1: an S-record starts with S");
    // Three bytes 16 MiB apart would become 32 MiB of fill.
    const fs::path spread = write_file("spread.hex", test::gapped_intel_hex(3, 1, (1u << 24) - 1));
    expect_untouched(drova(args({"download", spread.string(), "-t", "0", "--fill-gaps", "16777216"})), 3,
                     "--fill-gaps 16777216 would add 33554430 bytes of 0xFF, more than the 16 MiB");
    expect_untouched(drova(args({"verify", spread.string(), "-t", "0", "--fill-gaps", "16777215"})), 3,
                     "more than the 16 MiB drova fills");
    // A saved flash table is read before the library is loaded.
    const auto table = [](const std::string &content) { return write_file("table.json", content).string(); };
    expect_untouched(drova(args({"check", "--table", "/no/such/table.json"})), 3, "no such file");
    expect_untouched(drova(args({"check", "--table", table("{\"sectors\": [")})), 3, "not valid JSON");
    expect_untouched(drova(args({"check", "--table", table(R"({"sectors": {}})")})), 3, "sectors: expected the list");
    expect_untouched(drova(args({"check", "--table", table(R"({"sectors": [{"sector": 1, "id": 5}]})")})), 3,
                     "sectors[0].sector: expected 0");
    expect_untouched(drova(args({"check", "--table", table(R"({"sectors": [{"sector": 0, "id": -1}]})")})), 3,
                     "sectors[0].id: expected a number");
    expect_untouched(
        drova(args({"check", "--table", table(R"({"sectors": [{"sector": 0, "id": 5, "name": "a\\x0"}]})")})), 3,
        "sectors[0].name: expected at most 64 bytes");
    expect_untouched(drova(args({"check", "--table", table(R"({"sectors": [{"sector": 0, "id": 5, "name": "a",
                                                           "versionA": "1.2.3"}]})")})),
                     3, "sectors[0].versionA: expected a version A.B.C.D");
    expect_untouched(
        drova(args({"check", "--table", table(R"({"sectors": [{"sector": 0, "id": 2, "kind": "empty"}]})")})), 3,
        "sectors[0].kind: does not fit id 2, which is kind-2");
    expect_untouched(drova(args({"check", "--table", table(R"({"sectorCount": 2, "sectors": []})")})), 3,
                     "sectorCount: expected 0");

    const Result help = drova({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
    EXPECT_NE(help.out.find("8 check: the consistency check marked an entry"), std::string::npos) << help.out;
    const Result missing = drova({"--library", kNoLibrary, "info"});
    EXPECT_EQ(missing.status, 4);
    EXPECT_NE(missing.err.find("cannot load the library"), std::string::npos);
}

// The commands against one drova-sim device that the whole suite shares.
// A search that finds nothing says where it looked: the place VELKOR_USB_DIR
// names, or the system's own and what serves it.
TEST(DrovaNoDevice, SaysWhereTheSearchLooked) {
    const char *previous = std::getenv("VELKOR_USB_DIR");
    const std::string kept = previous != nullptr ? previous : "";
    const fs::path empty = fs::temp_directory_path() / "drova-test-no-devices";
    fs::create_directories(empty);
    const struct {
        const char *location;  // VELKOR_USB_DIR; null: not set
        std::vector<std::string> said;
    } rows[] = {
#ifdef _WIN32
        {"drova-test-no-devices-", {"looked in the named pipes \\\\.\\pipe\\drova-test-no-devices-* (VELKOR_USB_DIR)"}},
        {nullptr, {"looked in the USB devices of interface class {8D96C3F0-627C-490D-BAA2-3F7D1D789F3D}",
                   "driver installed"}},
#else
        {empty.c_str(), {"looked in the endpoints in " + empty.string() + " (VELKOR_USB_DIR)"}},
        {nullptr, {"looked in the endpoints in /run/velkor/usb", "is drova-usbd running"}},
#endif
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.location != nullptr ? row.location : "not set");
        set_environment("VELKOR_USB_DIR", row.location);
        const Result result = drova({"--library", DROVA_TEST_LIBRARY, "--search-ms", "20", "info"});
        EXPECT_EQ(result.status, 6) << result.err;
        for (const std::string &words : row.said) EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("--sim gives a simulated device"), std::string::npos) << result.err;
    }
    set_environment("VELKOR_USB_DIR", previous != nullptr ? kept.c_str() : nullptr);
}

class DrovaCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Simulator::Options options;
        options.program = DROVA_TEST_SIM;
        simulator_ = new Simulator(options);
    }
    static void TearDownTestSuite() {
        delete simulator_;
        simulator_ = nullptr;
    }

    static Result command(std::initializer_list<std::string> rest) {
        std::vector<std::string> all{"--library", DROVA_TEST_LIBRARY};
        all.insert(all.end(), rest);
        return drova(all);
    }

    static Simulator *simulator_;
};

Simulator *DrovaCommands::simulator_ = nullptr;

TEST_F(DrovaCommands, DownloadsAHexFileListsAndStartsIt) {
    const SampleApplication application;
    const fs::path file = write_file("app.hex", intel_hex(make_sample_application(application), 0x00010000));

    // drova-sim in a process of its own is a real device to drova: changes need --yes.
    const Result download = command({"--yes", "download", file.string(), "--target", "2", "--erase"});
    ASSERT_EQ(download.status, 0) << download.err;
    EXPECT_NE(download.out.find("Intel HEX: 518 records in 1 blocks, 16552 bytes, into area 2"), std::string::npos)
        << download.out;
    EXPECT_NE(download.out.find("download finished: 2 records, 16568 bytes"), std::string::npos) << download.out;
    EXPECT_NE(download.out.find("checksums matched: 2 in the staging area, 2 in area 2"), std::string::npos);

    const Result flash = command({"flash"});
    ASSERT_EQ(flash.status, 0) << flash.err;
    EXPECT_NE(flash.out.find("  Empty\n  Empty\n  drova demo application (4711)\n"), std::string::npos) << flash.out;
    for (const char *line : {"\nsector 1  empty\n",
                             "\nsector 2  application  id 4711  'drova demo application'  A Don't care  B Don't care  "
                             "C Don't care  D Don't care  firmware 1.2.0.3\n",
                             "\nsector 7  empty\narea 8  staging area\n"})
        EXPECT_NE(flash.out.find(line), std::string::npos) << line << "\n" << flash.out;
    const Result check = command({"check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("check: 1 entry, nothing marked\n"), std::string::npos) << check.out;

    const Result start = command({"start", "4711"});
    ASSERT_EQ(start.status, 0) << start.err;
    EXPECT_NE(start.out.find("application 4711 started; firmware features: 0 2 8"), std::string::npos) << start.out;
    // The device runs it until a reset: a second start is refused with the device's reason.
    const Result again = command({"start", "4711"});
    EXPECT_EQ(again.status, 24);
    EXPECT_NE(again.err.find("start application 4711 failed: An application is already running."), std::string::npos)
        << again.err;
    EXPECT_EQ(command({"reset"}).status, 0);

    const Result autostart = command({"-v", "--yes", "autostart", "4711"});
    ASSERT_EQ(autostart.status, 0) << autostart.err;
    EXPECT_NE(autostart.out.find("(1,0) automatic start: ok"), std::string::npos) << autostart.out;
    const Result info = command({"info"});
    EXPECT_NE(info.out.find("Autostart application: drova demo application"), std::string::npos) << info.out;
}

TEST_F(DrovaCommands, FailuresEndWithTheLibrarysText) {
    const Result unknown_device = command({"--serial", "KV47D00299", "flash"});
    EXPECT_EQ(unknown_device.status, 52);  // refused with error 12
    EXPECT_NE(unknown_device.err.find("Can't find the specified HW Device."), std::string::npos) << unknown_device.err;

    const Result unknown_application = command({"start", "99"});
    EXPECT_EQ(unknown_application.status, 24);
    EXPECT_NE(unknown_application.err.find("Invalid Application Identifier."), std::string::npos);

    // Checked against the flash table before the device is asked (or the user).
    const Result bad_sector = command({"erase", "200"});
    EXPECT_EQ(bad_sector.status, 26);
    EXPECT_NE(bad_sector.err.find("sector 200 does not exist: the device has sectors 0 to 7; nothing was erased"),
              std::string::npos)
        << bad_sector.err;
}

TEST_F(DrovaCommands, WritesTheSerialNumberAndSelectsByIt) {
    const Result write = command({"--serial", "KV47D00291", "--yes", "write-serial", "KV50F00001"});
    ASSERT_EQ(write.status, 0) << write.err;
    EXPECT_NE(write.out.find("the device now reports KV50F00001"), std::string::npos) << write.out;
    const Result back = command({"--serial", "0xBF0001", "--yes", "write-serial", "0x8D0123"});
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_NE(back.out.find("the device now reports KV47D00291"), std::string::npos) << back.out;
}

TEST_F(DrovaCommands, KeepsAliveAndScans) {
    const Result keepalive = command({"keepalive", "--every", "100", "--count", "2"});
    ASSERT_EQ(keepalive.status, 0) << keepalive.err;
    EXPECT_NE(keepalive.out.find("keep-alive 2: connected"), std::string::npos) << keepalive.out;
    const Result scan = command({"scan", "--count", "2"});
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_NE(scan.out.find("1 HW Device found on UDP port 0\n1 HW Device found on UDP port 1\n"), std::string::npos)
        << scan.out;
}

// Runs drova against a simulated device of its own, described by `config`.
Result simulated(const std::string &config, std::initializer_list<std::string> rest) {
    std::vector<std::string> all{"--library", DROVA_TEST_LIBRARY, "--sim-program", DROVA_TEST_SIM, "--sim",
                                 write_file("sim.json", config).string()};
    all.insert(all.end(), rest);
    return drova(all);
}

TEST(DrovaSimulated, AFailedDownloadNamesItsRecordAndStep) {
    const std::string file = write_file("small.bin", std::string(600, '\x5A')).string();
    const auto faulty = [](const char *fault) {
        return std::string(R"({"devices": [{"faults": [)") + fault + "]}]}";
    };
    // The second checksum of the first record, the one in the target area, comes back wrong.
    const Result checksum = simulated(faulty(R"({"kind": "wrong_checksum", "opcode": "checksum", "skip": 1, "times": 1})"),
                                      {"download", file, "--target", "0", "--address", "0x2000"});
    EXPECT_EQ(checksum.status, 12);
    EXPECT_NE(checksum.err.find("download failed at record 1 of 2 (checksum in area 0): the device's checksum of the "
                                "record differs from the one sent (HW Device responded invalid information.)"),
              std::string::npos)
        << checksum.out << checksum.err;

    // The device refuses to be addressed for the end record.
    const Result address = simulated(faulty(R"({"kind": "refuse", "opcode": "address", "skip": 1})"),
                                     {"download", file, "--target", "0"});
    EXPECT_EQ(address.status, 10);
    EXPECT_NE(address.err.find("download failed at record 2 of 2 (address)"), std::string::npos) << address.err;

    // A data acknowledgement of the wrong length.
    const Result data = simulated(faulty(R"({"kind": "wrong_length", "opcode": "data"})"),
                                  {"download", file, "--target", "0"});
    EXPECT_EQ(data.status, 15);
    EXPECT_NE(data.err.find("download failed at record 1 of 2 (data)"), std::string::npos) << data.err;
}

TEST(DrovaSimulated, StagingAreaDownloadsNeedNoProgramStep) {
    // S-record, two records that continue one another: one block, downloaded
    // into the staging area itself (area 8 of a device with 8 sectors).
    const std::string file = write_file("app.s19", "S107000001020304EE\n"
                                                   "S107000405060708DA\n"
                                                   "S9030000FC\n")
                                 .string();
    const Result result = simulated(R"({"devices": [{"sectors": 8}]})", {"-v", "download", file, "--target", "8"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Motorola S-record: 2 records in 1 blocks, 8 bytes, into area 8"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("checksums matched: 2 in the staging area, 0 in area 8"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("program: ok"), std::string::npos) << result.out;
}

TEST(DrovaSimulated, ListsTheFoundDevicesAndSelectsByTheirIndex) {
    const std::string two = R"({"devices": [{"serial": "KV47D00291"}, {"serial": "KV50F00001", "name": "second"}]})";
    const Result list = simulated(two, {"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("0: KV47D00291  DROVA simulated device  hardware "), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("1: KV50F00001  second  hardware "), std::string::npos) << list.out;

    const Result json = simulated(two, {"list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find(R"("serialText": "KV50F00001")"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find(R"("index": 1)"), std::string::npos) << json.out;

    const Result second = simulated(two, {"--index", "1", "flash"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("connected: second, serial KV50F00001"), std::string::npos) << second.out;
    const Result beyond = simulated(two, {"--index", "2", "flash"});
    EXPECT_EQ(beyond.status, 6);
    EXPECT_NE(beyond.err.find("no device at index 2: 2 interfaces present"), std::string::npos) << beyond.err;

    // By interface path, as list shows it under the entry: the same device
    // for as long as it stays plugged in where it is.
    const test::SeparateDevices devices(two);
    const Result listed = devices({"list"});
    const std::size_t second_entry = listed.out.find("1: KV50F00001");
    ASSERT_NE(second_entry, std::string::npos) << listed.out;
    const std::size_t path_start = listed.out.find("   ", listed.out.find('\n', second_entry)) + 3;
    const std::string second_path = listed.out.substr(path_start, listed.out.find('\n', path_start) - path_start);
    const struct {
        std::string path;
        int status;
        std::string said;
    } rows[] = {
        {second_path, 0, "connected: second, serial KV50F00001"},
        {second_path + "x", 6, "x: 2 interfaces present (drova list shows them)"},
        {"", 6, "no interface : 2 interfaces present"},
    };
    for (const auto &row : rows) {
        const Result by_path = devices({"--path", row.path, "flash"});
        EXPECT_EQ(by_path.status, row.status) << row.path << "\n" << by_path.err;
        EXPECT_NE((by_path.out + by_path.err).find(row.said), std::string::npos) << by_path.out << by_path.err;
    }
    EXPECT_EQ(devices({"--path", second_path, "--index", "0", "flash"}).status, 2) << "one way to choose";

    // A device that does not answer keeps its index: the next one does not
    // move up into it, and choosing it says why nothing can be done.
    const std::string first_silent =
        R"({"devices": [{"serial": "KV47D00291", "faults": [{"kind": "no_answer", "opcode": "query", "times": 0}]},)"
        R"( {"serial": "KV50F00001", "name": "second"}]})";
    const test::SeparateDevices quiet(first_silent, true);
    const Result quiet_list = quiet({"list"});
    ASSERT_EQ(quiet_list.status, 0) << quiet_list.err;
    EXPECT_NE(quiet_list.out.find("0: no answer to the search (silent or busy"), std::string::npos) << quiet_list.out;
    EXPECT_NE(quiet_list.out.find("1: KV50F00001  second"), std::string::npos) << quiet_list.out;
    const Result quiet_json = quiet({"list", "--json"});
    EXPECT_NE(quiet_json.out.find(R"("index": 0,
    "answered": false,)"), std::string::npos) << quiet_json.out;
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string said;
    } quiet_rows[] = {
        {{"--index", "0", "flash"}, 6, "--index 0: the device at interface "},
        {{"--index", "1", "flash"}, 0, "connected: second, serial KV50F00001"},
        {{"--index", "0", "-y", "erase", "5"}, 6, "did not answer the search (silent or busy"},
    };
    for (const auto &row : quiet_rows) {
        const Result chosen = quiet(row.arguments);
        EXPECT_EQ(chosen.status, row.status) << row.arguments[1] << "\n" << chosen.err;
        EXPECT_NE((chosen.out + chosen.err).find(row.said), std::string::npos) << chosen.out << chosen.err;
    }
    for (const std::string &frame : quiet.frames()) EXPECT_EQ(frame.find("erase"), std::string::npos) << frame;
}

// What the consistency check marks, in drova check's words, from the device
// and from the table drova flash --json saved of it.
TEST(DrovaSimulated, ChecksTheFlashTable) {
    const std::string kind0 = R"({"sector": 0, "id": 0, "name": "Boot loader", "fw_version": "1.4.0.0",
                                 "version_a": "3.0.0.0", "version_b": "2.0.0.0", "version_c": "255.254.253.252"})";
    const std::string kind2 = R"({"sector": 1, "id": 2, "name": "Motor system", "version_c": "1.2.0.0",
                                 "version_d": "3.0.0.0"})";
    const std::string motor = R"({"sector": 2, "id": 5, "name": "Motor control", "fw_version": "2.1.0.0",
                                 "version_b": "2.0.0.0", "version_c": "1.2.0.0"})";
    const auto device = [](int sectors, const std::vector<std::string> &applications) {
        std::string config = R"({"devices": [{"sectors": )" + std::to_string(sectors) + R"(, "applications": [)";
        for (const auto &application : applications)
            config += (&application == &applications[0] ? "" : ",") + application;
        return config + "]}]}";
    };

    const Result consistent = simulated(
        device(5, {kind0, kind2, motor, R"({"sector": 4, "id": 6, "name": "Diagnostics", "version_c": "1.2.0.0",
                                           "version_b": "255.254.253.252"})"}),
        {"check"});
    EXPECT_EQ(consistent.status, 0) << consistent.err;
    EXPECT_NE(consistent.out.find("\nsector 2  application  id 5  'Motor control'  A 0.0.0.0  B 2.0.0.0  C 1.2.0.0  "
                                  "D 0.0.0.0  firmware 2.1.0.0\nsector 4  application  id 6  'Diagnostics'  "),
              std::string::npos)
        << consistent.out;
    EXPECT_NE(consistent.out.find("\ncheck: 4 entries, nothing marked\n"), std::string::npos) << consistent.out;

    // Duplicate ids, kind-2 entries offering one versionC and one without the
    // kind-0 versionA as its versionD, an application without a kind-2
    // versionC, one with another versionB, a kind-1 entry with a versionC.
    const std::string inconsistent = device(
        9, {kind0, kind2, motor,
            R"({"sector": 3, "id": 6, "name": "Diag\u0001nostics\\", "version_b": "2.0.0.0", "version_c": "1.3.0.0"})",
            R"({"sector": 4, "id": 5, "name": "Motor control 2", "version_b": "1.0.0.0", "version_c": "1.2.0.0"})",
            R"({"sector": 5, "id": 2, "name": "Other system", "version_c": "1.2.0.0", "version_d": "2.0.0.0"})",
            R"({"sector": 7, "id": 1, "name": "Loader", "version_c": "1.0.0.0"})"});
    const Result marked = simulated(inconsistent, {"check"});
    EXPECT_EQ(marked.status, 8) << marked.err;
    const std::string words =
        "sector 0  kind-0  id 0  'Boot loader'  A 3.0.0.0  B 2.0.0.0  C Don't care  D 0.0.0.0  firmware 1.4.0.0\n"
        "sector 1  kind-2  id 2  'Motor system'  A 0.0.0.0  B 0.0.0.0  C 1.2.0.0  D 3.0.0.0  firmware 0.0.0.0\n"
        "  sector 1 'Motor system': versionC 1.2.0.0 also offered by sector 5 'Other system'\n"
        "sector 2  application  id 5  'Motor control'  A 0.0.0.0  B 2.0.0.0  C 1.2.0.0  D 0.0.0.0  firmware 2.1.0.0\n"
        "  sector 2 'Motor control': id 5 also held by sector 4 'Motor control 2'\n"
        "sector 3  application  id 6  'Diag\\x01nostics\\\\'  A 0.0.0.0  B 2.0.0.0  C 1.3.0.0  D 0.0.0.0  "
        "firmware 0.0.0.0\n"
        "  sector 3 'Diag\\x01nostics\\\\': versionC 1.3.0.0 offered by no kind-2 entry\n"
        "sector 4  application  id 5  'Motor control 2'  A 0.0.0.0  B 1.0.0.0  C 1.2.0.0  D 0.0.0.0  firmware 0.0.0.0\n"
        "  sector 4 'Motor control 2': id 5 also held by sector 2 'Motor control'\n"
        "  sector 4 'Motor control 2': versionB 1.0.0.0 differs from versionB 2.0.0.0 of sector 0 'Boot loader'\n"
        "sector 5  kind-2  id 2  'Other system'  A 0.0.0.0  B 0.0.0.0  C 1.2.0.0  D 2.0.0.0  firmware 0.0.0.0\n"
        "  sector 5 'Other system': versionC 1.2.0.0 also offered by sector 1 'Motor system'\n"
        "  sector 5 'Other system': versionD 2.0.0.0 does not match versionA 3.0.0.0 of sector 0 'Boot loader'\n"
        "sector 7  kind-1  id 1  'Loader'  A 0.0.0.0  B 0.0.0.0  C 1.0.0.0  D 0.0.0.0  firmware 0.0.0.0\n"
        "  sector 7 'Loader': versionC 1.0.0.0 where a kind-1 entry needs Don't care\n"
        "check: 7 entries, 6 marked\n";
    EXPECT_NE(marked.out.find("\n" + words), std::string::npos) << marked.out;
    EXPECT_NE(marked.err.find("drova: check: the consistency check marked 6 of 7 entries"), std::string::npos)
        << marked.err;

    // The saved table holds every field the check reads: the same words without a device.
    const Result saved = simulated(inconsistent, {"flash", "--json"});
    ASSERT_EQ(saved.status, 0) << saved.err;
    for (const char *field : {R"("stagingArea": 9)", R"("kind": "empty")", R"("name": "Diag\\x01nostics\\\\")",
                              R"("versionC": "Don't care")", R"("firmwareVersion": "2.1.0.0")", R"("id": 4294967295)"})
        EXPECT_NE(saved.out.find(field), std::string::npos) << field << "\n" << saved.out;
    const FlashTable table = table_from_json(saved.out);  // stdout is the JSON alone
    ASSERT_EQ(table.sectors.size(), 9u);
    EXPECT_EQ(name_text(table.sectors[3]), "Diag\\x01nostics\\\\");
    EXPECT_EQ(table.sectors[3][VELKOR_INFO_NAME + 4], 0x01);
    EXPECT_EQ(block_word(table.sectors[5], VELKOR_INFO_VERSION_D), 0x02000000u);
    const std::string file = write_file("saved-table.json", saved.out).string();
    const Result from_file = drova({"--library", DROVA_TEST_LIBRARY, "check", "--table", file});
    EXPECT_EQ(from_file.status, 8) << from_file.err;
    EXPECT_EQ(from_file.out, words);
    const Result as_data = drova({"--library", DROVA_TEST_LIBRARY, "check", "--table", file, "--json"});
    EXPECT_EQ(as_data.status, 8) << as_data.err;
    for (const char *field : {R"("checked": 7)", R"("marked": 6)", R"("field": "versionD")", R"("offset": 96)",
                              R"("text": "versionC 1.3.0.0 offered by no kind-2 entry")", R"("marks": [])"})
        EXPECT_NE(as_data.out.find(field), std::string::npos) << field << "\n" << as_data.out;
}

TEST(DrovaSimulated, ReportsWhatCannotStart) {
    const Result bad = simulated(R"({"devices": [{"colour": "blue"}]})", {"info"});
    EXPECT_EQ(bad.status, 5);
    EXPECT_NE(bad.err.find("before serving a device"), std::string::npos) << bad.err;

    // with-sim points the program at the simulated device and hands on its status.
    EXPECT_EQ(drova({"--sim-program", DROVA_TEST_SIM, "with-sim", DROVA_TEST_DROVA, "--library", DROVA_TEST_LIBRARY,
                     "flash"}).status,
              0);
    EXPECT_EQ(drova({"--sim-program", DROVA_TEST_SIM, "with-sim", DROVA_TEST_DROVA, "--library", kNoLibrary, "info"})
                  .status,
              4);
    const Result missing_program = drova({"--sim-program", DROVA_TEST_SIM, "with-sim", "/no/such/program"});
    EXPECT_EQ(missing_program.status, 5);
    EXPECT_NE(missing_program.err.find("cannot run /no/such/program"), std::string::npos) << missing_program.err;
}

}  // namespace
}  // namespace drova
