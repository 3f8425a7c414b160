// drova-usbd's rules without a device: how long it waits for an answer, which
// devices it takes from its arguments and configuration, how it names them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "answer_wait.h"
#include "device_selector.h"
#include "port_name.h"
#include "wire.h"

namespace velkor::usbd {
namespace {

using namespace std::chrono_literals;

const AnswerPeriods kPeriods{.connect = 6000ms, .erase_or_program = 30000ms, .other = 2000ms, .gap = 20ms, .send = 2000ms};

sim::Bytes frame_of(std::initializer_list<std::uint8_t> command) { return sim::make_command_frame(sim::Bytes(command)); }

TEST(FirstAnswerWait, FollowsTheCommandInTheFrame) {
    struct Row {
        sim::Bytes block;
        std::chrono::milliseconds wait;
    };
    sim::Bytes bad_length_copy = frame_of({sim::kErase, 0});
    bad_length_copy[19] ^= 1;
    const Row rows[] = {
        {frame_of({sim::kConnect, 0, 1, 2, 3, 4}), 6000ms},
        {frame_of({sim::kErase, 3}), 30000ms},
        {frame_of({sim::kProgram, 0, 0, 0, 0, 1}), 30000ms},
        {frame_of({sim::kQuery}), 2000ms},
        {frame_of({sim::kData, 1, 2, 3}), 2000ms},
        {frame_of({sim::kDisconnect}), 2000ms},
        {frame_of({sim::kConnectAck}), 0ms},
        {frame_of({sim::kDisconnectAck}), 0ms},
        {frame_of({sim::kReset}), 0ms},
        // Not a command frame: no command to go by.
        {sim::Bytes(100, sim::kErase), 2000ms},
        {bad_length_copy, 2000ms},
        {sim::Bytes{}, 2000ms},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(first_answer_wait(rows[i].block, kPeriods), rows[i].wait) << "row " << i;
}

TEST(FirstAnswerWait, ScaledPeriodsKeepTheirRatios) {
    const AnswerPeriods scaled = kPeriods.scaled_down(20);
    EXPECT_EQ(scaled.connect, 300ms);
    EXPECT_EQ(scaled.erase_or_program, 1500ms);
    EXPECT_EQ(scaled.other, 100ms);
    EXPECT_EQ(scaled.gap, 1ms);
    EXPECT_EQ(scaled.send, 100ms);
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
