// drova-usbd's rules without a device: which devices it takes from its
// arguments and configuration, what it says of settings it no longer uses, how
// it names the devices.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "device_selector.h"
#include "port_name.h"
#include "start_checks.h"

namespace velkor::usbd {
namespace {

// drova-usbd run as a program with `arguments`: its exit status (-1 when it
// did not exit) and what it wrote to either stream.
struct ProgramRun {
    int status;
    std::string output;
};

ProgramRun run_drova_usbd(const std::string &arguments) {
    const std::string command = "'" DROVA_TEST_USBD "' " + arguments + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string output;
    char buffer[1024];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(DeviceArgument, TakesVendorProductAndInterface) {
    struct Row {
        const char *text;
        bool valid;
        std::uint16_t vendor, product;
        std::uint8_t interface;
    };
    const Row rows[] = {
        {"1d50:61f0", true, 0x1d50, 0x61f0, 0},
        {"0x1D50:0X61F0:2", true, 0x1d50, 0x61f0, 2},
        {"ffff:0:255", true, 0xffff, 0, 255},
        {"1d50", false, 0, 0, 0},
        {"1d50:", false, 0, 0, 0},
        {":61f0", false, 0, 0, 0},
        {"10000:1", false, 0, 0, 0},
        {"1d50:61f0:256", false, 0, 0, 0},
        {"1d50:61f0:x", false, 0, 0, 0},
        {"1d50:61f0:1:2", false, 0, 0, 0},
        {"g1:2", false, 0, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        if (!row.valid) {
            EXPECT_THROW(parse_device_argument(row.text), ConfigError);
            continue;
        }
        const DeviceSelector selector = parse_device_argument(row.text);
        EXPECT_EQ(selector.vendor, row.vendor);
        EXPECT_EQ(selector.product, row.product);
        EXPECT_EQ(selector.interface, row.interface);
        EXPECT_FALSE(selector.out_endpoint);
        EXPECT_FALSE(selector.in_endpoint);
    }
}

TEST(UsbdConfig, ReadsDevicesAndTheirEndpoints) {
    const UsbdConfig config = parse_usbd_config(R"({
        "dir": "/tmp/usb", "gap_ms": 40,
        "devices": [
            {"vendor": "1d50", "product": "61f0"},
            {"vendor": "0x1234", "product": "abcd", "interface": 1, "out_endpoint": "0x02", "in_endpoint": 130}
        ]})");
    ASSERT_EQ(config.devices.size(), 2u);
    EXPECT_EQ(config.dir, "/tmp/usb");
    EXPECT_EQ(config.gap_ms, 40u);
    EXPECT_EQ(config.devices[0].vendor, 0x1d50);
    EXPECT_FALSE(config.devices[0].out_endpoint);
    EXPECT_EQ(config.devices[1].interface, 1);
    EXPECT_EQ(config.devices[1].out_endpoint, 0x02);
    EXPECT_EQ(config.devices[1].in_endpoint, 0x82);
}

TEST(UsbdConfig, NamesWhatItCannotUse) {
    struct Row {
        const char *json;
        const char *named;
    };
    const Row rows[] = {
        {"[1]", "devices"},
        {"{}", "devices: missing"},
        {R"({"devices": {}})", "devices: expected a list"},
        {R"({"devices": [{"vendor": "1d50"}]})", "devices[0]"},
        {R"({"devices": [{"vendor": 7504, "product": "61f0"}]})", "devices[0].vendor"},
        {R"({"devices": [{"vendor": "1d50", "product": "61f0", "colour": 1}]})", "devices[0].colour"},
        {R"({"devices": [{"vendor": "1d50", "product": "61f0", "out_endpoint": "0x81"}]})", "devices[0].out_endpoint"},
        {R"({"devices": [{"vendor": "1d50", "product": "61f0", "in_endpoint": "0x01"}]})", "devices[0].in_endpoint"},
        {R"({"devices": [{"vendor": "1d50", "product": "61f0", "in_endpoint": "0x80"}]})", "devices[0].in_endpoint"},
        {R"({"devices": [{"vendor": "1d50", "product": "61f0", "interface": -1}]})", "devices[0].interface"},
        {R"({"devices": [], "gap_ms": -5})", "gap_ms"},
        {R"({"devices": [], "dir": ""})", "dir"},
        {R"({"devices": [], "port": 1})", "port"},
        {"{", "not valid JSON"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.json);
        try {
            parse_usbd_config(row.json);
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError &e) {
            EXPECT_NE(std::string(e.what()).find(row.named), std::string::npos) << e.what();
        }
    }
}

// drova-usbd run as a service runs it: a gap set on the command line or in
// the configuration is still taken, with one warning, and ignored.
TEST(DrovaUsbd, TakesAGapWithAWarningAndIgnoresIt) {
    // Configurations of its own, never the machine's: no devices, with and without a gap.
    const auto temp = std::filesystem::temp_directory_path();
    const std::string with_gap = (temp / "usbd-rules-gap.json").string();
    const std::string without = (temp / "usbd-rules-plain.json").string();
    std::ofstream(with_gap) << R"({"dir": "/nonexistent", "gap_ms": 20, "devices": []})";
    std::ofstream(without) << R"({"devices": []})";
    const std::string zero_gap = (temp / "usbd-rules-zero-gap.json").string();
    std::ofstream(zero_gap) << R"({"dir": "/nonexistent", "gap_ms": 0, "devices": []})";
    const std::string warning = "warning: gap_ms / --gap-ms ignored: the bridge no longer waits for gaps";
    struct Row {
        std::string arguments;
        int status;
        bool warns;
        const char *also;
    };
    const Row rows[] = {
        {"-c " + without + " --gap-ms 5", 2, true, "no device configured"},
        {"-c " + with_gap, 2, true, "no device configured"},
        {"-c " + with_gap + " --gap-ms 40", 2, true, "no device configured"},
        {"-c " + without, 2, false, "no device configured"},
        // One rule for both: 0 to 60000, as the configuration takes it.
        {"-c " + without + " --gap-ms 0", 2, true, "no device configured"},
        {"-c " + without + " --gap-ms 60001", 2, false, "--gap-ms"},
        {"-c " + zero_gap, 2, true, "no device configured"},
    };
    for (const Row &row : rows) {
        const auto [status, output] = run_drova_usbd("-d /nonexistent " + row.arguments);
        EXPECT_EQ(status, row.status) << row.arguments << "\n" << output;
        EXPECT_EQ(output.find(warning) != std::string::npos, row.warns) << row.arguments << "\n" << output;
        if (row.warns) {
            EXPECT_EQ(output.find(warning), output.rfind(warning)) << "one warning line\n" << output;
        }
        EXPECT_NE(output.find(row.also), std::string::npos) << row.arguments << "\n" << output;
    }
    std::filesystem::remove(with_gap);
    std::filesystem::remove(without);
    std::filesystem::remove(zero_gap);
}

// What drova-usbd says as it starts, before any device: what it waits for,
// and what on this machine keeps it from serving (rows made in a scratch
// folder; permissions are not among them, as the tests run as root).
TEST(DrovaUsbd, SaysWhatItWatchesAndWhatKeepsItFromServing) {
    DeviceSelector first = parse_device_argument("1a2b:3c4d");
    DeviceSelector second = parse_device_argument("1a2b:3c4e:1");
    EXPECT_EQ(watch_line({first, second}, "/run/velkor/usb"),
              "watching for 1a2b:3c4d (interface 0), 1a2b:3c4e (interface 1); endpoints in /run/velkor/usb");

    namespace fs = std::filesystem;
    const fs::path scratch = fs::temp_directory_path() / ("usbd-start-" + std::to_string(getpid()));
    fs::create_directories(scratch / "bus-usb");
    fs::create_directories(scratch / "served");
    std::ofstream(scratch / "a-file") << "x";
    struct Row {
        const char *name;
        fs::path usb_devices, dir;
        std::vector<std::string> warnings;  // a part of each, in order
        bool dir_made;
    };
    const Row rows[] = {
        {"all usable", scratch / "bus-usb", scratch / "served", {}, true},
        {"device directory made", scratch / "bus-usb", scratch / "new" / "usb", {}, true},
        {"no USB device folder", scratch / "no-bus", scratch / "served",
         {(scratch / "no-bus").string() + " is missing (No such file or directory): libusb finds no USB device"}, true},
        {"USB device folder a file", scratch / "a-file", scratch / "served",
         {(scratch / "a-file").string() + " is not a folder"}, true},
        {"device directory under a file", scratch / "bus-usb", scratch / "a-file" / "usb",
         {"the device directory " + (scratch / "a-file" / "usb").string() + " cannot be made",
          "no device can be served"},
         false},
        {"device directory a file", scratch / "bus-usb", scratch / "a-file",
         {"the device directory " + (scratch / "a-file").string() + " is not a folder"}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto warnings = start_warnings(row.usb_devices.string(), row.dir.string());
        std::string all;
        for (const auto &warning : warnings) all += warning + "\n";
        std::size_t from = 0;
        for (const auto &part : row.warnings) {
            from = all.find(part, from);
            EXPECT_NE(from, std::string::npos) << part << " in\n" << all;
        }
        if (row.warnings.empty()) {
            EXPECT_TRUE(warnings.empty()) << all;
        }
        EXPECT_EQ(fs::is_directory(row.dir), row.dir_made);
    }
    fs::remove_all(scratch);
}

// drova-usbd's own answers, as a program: its version, its help and the man
// page the build writes with it.
TEST(DrovaUsbd, TellsItsVersionHelpAndManPage) {
    struct Row {
        const char *arguments;
        std::vector<std::string> said;
    };
    const Row rows[] = {
        {"--version", {"drova-usbd " DROVA_TEST_VERSION "\n"}},
        {"--help", {"Usage: drova-usbd [OPTIONS]", "--version", "Exit status:", "2 bad arguments"}},
        {"--generate man", {".TH DROVA-USBD 1", ".SH SYNOPSIS", "\\fB\\-\\-device\\fR", ".SH \"EXIT STATUS\""}},
    };
    for (const Row &row : rows) {
        const auto [status, output] = run_drova_usbd(row.arguments);
        EXPECT_EQ(status, 0) << row.arguments << "\n" << output;
        for (const auto &part : row.said)
            EXPECT_NE(output.find(part), std::string::npos) << row.arguments << ": " << part << "\n" << output;
    }
}

TEST(PortEndpointName, IsTheBusAndThePortPath) {
    struct Row {
        unsigned bus;
        std::vector<std::uint8_t> ports;
        const char *name;
    };
    const Row rows[] = {
        {1, {3}, "usb-1-3"},
        {2, {1, 4}, "usb-2-1.4"},
        {12, {1, 2, 3, 4, 5, 6, 7}, "usb-12-1.2.3.4.5.6.7"},
    };
    for (const Row &row : rows) EXPECT_EQ(port_endpoint_name(row.bus, row.ports), row.name);
}

}  // namespace
}  // namespace velkor::usbd
