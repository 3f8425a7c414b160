// drova-sim's JSON configuration.
#include <gtest/gtest.h>

#include "sim_config.h"

namespace velkor::sim {
namespace {

std::string error_of(const std::string &json) {
    try {
        parse_config(json);
    } catch (const ConfigError &e) {
        return e.what();
    }
    return "no error";
}

TEST(SimConfigTest, FullDeviceDescription) {
    const SimConfig config = parse_config(R"({
        "dir": "/tmp/velkor", "state_dir": "/tmp/velkor-state",
        "devices": [
          {"name": "Bench unit", "serial": "KV50F00001", "fos_ifc_version": "1.1.0.1", "hw_version": 16909060,
           "status": 3, "autostart": 5, "sectors": 4, "sector_size": "0x8000", "staging_size": 4096,
           "claim_timeout_ms": 5000, "flash_blocks_per_frame": 1,
           "applications": [{"sector": 1, "id": 5, "name": "Logic", "fw_version": "2.0.0.1", "features": [0, 9],
                             "payload_size": 100}],
           "start": {"6": {"result": 3}, "5": {"features": [18]}},
           "faults": [{"kind": "no_answer", "opcode": "keep-alive", "skip": 2, "times": 0}]},
          {"endpoint": "bench"}
        ]})");
    EXPECT_EQ(config.dir, "/tmp/velkor");
    EXPECT_EQ(config.state_dir, "/tmp/velkor-state");
    ASSERT_EQ(config.devices.size(), 2u);
    const ServedDevice &first = config.devices[0];
    EXPECT_EQ(first.endpoint, "drova00");
    EXPECT_EQ(first.device.name, "Bench unit");
    EXPECT_EQ(first.device.serial_word, 0xBF0001u);
    EXPECT_EQ(first.device.fos_ifc_version, 0x01010001u);
    EXPECT_EQ(first.device.hw_version, 0x01020304u);
    EXPECT_EQ(first.device.status, 3u);
    EXPECT_EQ(first.device.autostart_app_id, 5u);
    EXPECT_EQ(first.device.sectors, 4u);
    EXPECT_EQ(first.device.sector_size, 0x8000u);
    EXPECT_EQ(first.device.staging_size, 4096u);
    EXPECT_EQ(first.device.claim_timeout_ms, 5000u);
    EXPECT_EQ(first.device.flash_blocks_per_frame, 1u);
    ASSERT_EQ(first.device.applications.size(), 1u);
    EXPECT_EQ(first.device.applications[0].info.fw_version, 0x02000001u);
    EXPECT_EQ(first.device.applications[0].info.features, (std::array<std::uint8_t, 4>{0x01, 0x02, 0, 0}));
    EXPECT_EQ(first.device.start_behaviour.at(6).result, 3u);
    EXPECT_EQ(first.device.start_behaviour.at(5).result, 8u);
    EXPECT_EQ(first.device.start_behaviour.at(5).features, (std::array<std::uint8_t, 4>{0, 0, 0x04, 0}));
    ASSERT_EQ(first.faults.size(), 1u);
    EXPECT_EQ(first.faults[0].opcode, kKeepAlive);
    EXPECT_EQ(first.faults[0].skip, 2u);
    EXPECT_EQ(first.faults[0].times, 0u);

    const ServedDevice &second = config.devices[1];
    EXPECT_EQ(second.endpoint, "bench");
    EXPECT_EQ(second.device.serial_word, default_serial(1));
    EXPECT_EQ(second.device.sectors, 8u);
}

TEST(SimConfigTest, MistakesAreNamedWithTheirPlace) {
    EXPECT_NE(error_of("{").find("not valid JSON"), std::string::npos);
    EXPECT_EQ(error_of(R"({"devices": []})"), "devices: expected a list of at least one device");
    EXPECT_EQ(error_of(R"({"devices": [{"sectros": 4}]})"), "devices[0].sectros: unknown key");
    EXPECT_EQ(error_of(R"({"devices": [{"sectors": 300}]})"), "devices[0].sectors: expected a number 0..255");
    EXPECT_EQ(error_of(R"({"devices": [{"hw_version": "1.2"}]})"), "devices[0].hw_version: expected a version A.B.C.D");
    EXPECT_NE(error_of(R"({"devices": [{"serial": "KV47100001"}]})").find("devices[0].serial"), std::string::npos);
    EXPECT_EQ(error_of(R"({"devices": [{"faults": [{"kind": "melt"}]}]})"),
              "devices[0].faults[0].kind: unknown fault kind \"melt\"");
    EXPECT_EQ(error_of(R"({"devices": [{"applications": [{"sector": 9, "id": 1}]}]})"),
              "devices[0]: application 1: no sector 9");
    EXPECT_EQ(error_of(R"({"devices": [{"endpoint": "a"}, {"endpoint": "a"}]})"),
              "devices[1].endpoint: \"a\" is used twice");
    EXPECT_EQ(error_of(R"({"devices": [{"start": {"x": {}}}]})"), "devices[0].start.x: key is not an application id");
}

TEST(SimConfigTest, SerialNumbersAsTextOrNumber) {
    EXPECT_EQ(parse_serial("KV47D00291"), 0x8D0123u);
    EXPECT_EQ(parse_serial("0x800001"), 0x800001u);
    EXPECT_EQ(parse_serial("123"), 123u);
    EXPECT_THROW(parse_serial("KV"), ConfigError);
    EXPECT_THROW(parse_serial("0x100000000"), ConfigError);
}

}  // namespace
}  // namespace velkor::sim
