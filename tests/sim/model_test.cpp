// The simulated device alone: one command frame in, the answer frames out.
#include <gtest/gtest.h>

#include <sstream>

#include "device_model.h"
#include "in_process_drova.h"
#include "sim_host.h"

namespace velkor::sim::testing {
namespace {

AppInfoFields demo_app(std::uint32_t id, std::array<std::uint8_t, 4> features = {}) {
    AppInfoFields info;
    info.id = id;
    info.name = "Demo " + std::to_string(id);
    info.fw_version = 0x01020304;
    info.features = features;
    return info;
}

class DeviceTest : public ::testing::Test {
protected:
    DeviceModel device{};
    Host host{device};
};

TEST(WireTest, ChecksumAndSerialWord) {
    EXPECT_EQ(ones_complement_checksum({}), 0xFF);
    EXPECT_EQ(ones_complement_checksum(Bytes{0x61, 0x62, 0x63}), 0xD8);
    EXPECT_EQ(ones_complement_checksum(Bytes{0xFF, 0xFF}), 0x00);
    EXPECT_EQ(ones_complement_checksum(Bytes{0x80, 0x80}), 0xFE);
    EXPECT_EQ(serial_word_checksum(0x8D0123), 0x4E);
    EXPECT_EQ(serial_word_checksum(0x800001), 0x7E);
    EXPECT_EQ(parse_serial_text("KV47D00291"), 0x8D0123u);
    EXPECT_EQ(parse_serial_text("KV50065535"), 0xB0FFFFu);
    EXPECT_FALSE(parse_serial_text("KV47100291"));  // month 1 has no text form
    EXPECT_FALSE(parse_serial_text("KV47D00000"));
    EXPECT_EQ(parse_version("1.1.0.0"), 0x01010000u);
    EXPECT_FALSE(parse_version("1.1.0"));
    EXPECT_FALSE(parse_version("1.1.0.256"));
}

TEST(WireTest, AnswerFrameHeaderAndBody) {
    const Bytes frame = make_answer_frame(Bytes{0xE5}, 5);
    EXPECT_EQ(frame, (Bytes{0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xE5}));
    Bytes overlong = frame;
    put_be32(&overlong[4], 50);  // the header claims more than was delivered
    EXPECT_EQ(answer_body(overlong)->size(), 1u);
    EXPECT_FALSE(answer_body(Bytes(frame.begin(), frame.begin() + 20)));
}

TEST_F(DeviceTest, MalformedHostFramesAreDroppedAndLogged) {
    Bytes frame = make_command_frame(command(kKeepAlive));
    EXPECT_TRUE(device.host_block(Bytes(frame.begin(), frame.begin() + 511)).answers.empty());
    Bytes bad_copy = frame;
    put_be32(&bad_copy[16], 2);
    EXPECT_TRUE(device.host_block(bad_copy).answers.empty());
    Bytes zero_length = frame;
    put_be32(&zero_length[4], 0);
    put_be32(&zero_length[16], 0);
    EXPECT_TRUE(device.host_block(zero_length).answers.empty());
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});

    const auto log = device.log();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(describe(log.front()), "host> malformed block of 511 bytes");
    EXPECT_EQ(describe(log.back()), "dev<  E5 keep-alive body 1");
}

TEST_F(DeviceTest, UnknownOpcodesAndWrongLengthsAreRefused) {
    EXPECT_EQ(host.ask(command(0x10)), refusal(0x10, Refusal::unknown_command));
    EXPECT_EQ(host.ask(command(kRefused)), refusal(kRefused, Refusal::unknown_command));
    EXPECT_EQ(host.ask(command(kKeepAlive, {0})), refusal(kKeepAlive, Refusal::malformed));
    Bytes short_connect = connect_command(kHostId);
    short_connect.resize(10);
    EXPECT_EQ(host.ask(short_connect)[0], kRefused);
    EXPECT_FALSE(device.claim().claimed);
}

TEST_F(DeviceTest, ConnectClaimsForOneHostAndDisconnectReleases) {
    host.claim(kHostId);
    EXPECT_TRUE(device.claim().claimed);
    // The holder may connect again (after losing track of its connection).
    EXPECT_EQ(host.ask(connect_command(kHostId, 3)), (Bytes{kConnectAck, 0x11, 0x22, 0x33, 0x44}));

    // Another host is told who holds the device.
    Bytes refused = host.ask(connect_command(kOtherHostId));
    ASSERT_EQ(refused.size(), 17u);
    EXPECT_EQ(refused[0], kRefused);
    EXPECT_EQ(get_be32(&refused[1]), static_cast<std::uint32_t>(Refusal::held_by_another_host));
    EXPECT_EQ(get_be32(&refused[5]), 0x8D0123u);
    EXPECT_EQ(get_be32(&refused[9]), 3u);  // the holder's mode
    EXPECT_EQ(Bytes(refused.begin() + 13, refused.end()), Bytes(kHostId.begin(), kHostId.end()));

    EXPECT_EQ(host.ask(command(kDisconnect)), Bytes{kDisconnectAck});
    EXPECT_TRUE(host.exchange(command(kDisconnectAck)).answers.empty());
    EXPECT_FALSE(device.claim().claimed);
    // Releasing a device that nobody holds is granted as well.
    EXPECT_EQ(host.ask(command(kDisconnect)), Bytes{kDisconnectAck});
    host.claim(kOtherHostId);
}

TEST_F(DeviceTest, QueryAnswersTheSearchBlockOrTheFullBlockWhenClaimed) {
    const Bytes search = host.ask(command(kQuery));
    ASSERT_EQ(search.size(), 89u);
    EXPECT_EQ(search[0], kQuery);
    EXPECT_EQ(get_be32(&search[1]), 0x01010000u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&search[5]), "DROVA simulated device");
    EXPECT_EQ(get_be32(&search[1 + 68]), 0u);
    EXPECT_EQ(get_be32(&search[1 + 72]), 0x8D0123u);
    EXPECT_EQ(get_be32(&search[1 + 76]), 0x01000000u);
    EXPECT_EQ(get_be32(&search[1 + 80]), kEmptyId);

    host.claim();
    const Bytes full = host.ask(command(kQuery));
    ASSERT_EQ(full.size(), 349u);
    EXPECT_EQ(Bytes(full.begin(), full.begin() + 89), search);
}

TEST(DeviceHostsTest, TheClaimBelongsToTheHostWhoseConnectWasAccepted) {
    DeviceModel device;
    Host first(device, 1), second(device, 2);
    struct Row {
        Host &host;
        Bytes command;
        Bytes answer;  // its first bytes
        std::size_t size;
    } const rows[] = {
        {first, connect_command(kHostId), {kConnectAck}, 5},
        {first, command(kQuery), {kQuery}, 349},              // the holder sees the full block
        {second, command(kQuery), {kQuery}, 89},              // another host still finds the device
        {second, connect_command(kOtherHostId), {kRefused}, 17},
        {second, command(kErase, {0}), refusal(kErase, Refusal::not_claimed), 3},
        {second, command(kDisconnect), {kDisconnectAck}, 1},  // granted, releasing nothing
        {first, command(kQuery), {kQuery}, 349},
        {second, connect_command(kHostId), {kConnectAck}, 5},  // the holder's identifier takes the claim along
        {first, command(kQuery), {kQuery}, 89},
    };
    for (const Row &row : rows) {
        const Bytes answer = row.host.ask(row.command);
        EXPECT_EQ(answer.size(), row.size);
        EXPECT_EQ(Bytes(answer.begin(), answer.begin() + std::min(answer.size(), row.answer.size())), row.answer);
    }
    EXPECT_EQ(device.claim().host, 2u);
}

TEST_F(DeviceTest, MaintenanceCommandsNeedTheClaim) {
    for (const Bytes &c : {command(kFlashInfo), with_word(kAppInfo, 5), with_word(kAutoStart, 5), command(kErase, {0}),
                           at_area(kAddress, 0, 0), command(kData, {1}), at_area(kProgram, 0, 0),
                           checksum_command(0, 0, 1), with_word(kStartApp, 5)})
        EXPECT_EQ(host.ask(c), refusal(c[0], Refusal::not_claimed));
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
}

TEST(DeviceFlashInfoTest, SectorTableComesInFramesThatFitTheTransfer) {
    DeviceConfig config;
    config.sectors = 7;
    config.applications.push_back({4, demo_app(7), 100});
    DeviceModel device(config);
    Host host(device);
    host.claim();
    const Exchange exchange = host.exchange(command(kFlashInfo));
    for (const Bytes &frame : exchange.answers) EXPECT_LE(frame.size(), kFrameSize);
    const auto answers = bodies(exchange);
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[0].size(), 338u);
    EXPECT_EQ(answers[3].size(), 170u);
    std::vector<std::uint32_t> ids;
    for (const auto &body : answers) {
        EXPECT_EQ(body[0], kFlashInfo);
        EXPECT_EQ(body[1], 7);
        for (std::size_t at = 2; at < body.size(); at += kInfoBlockSize) ids.push_back(get_be32(&body[at]));
    }
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{kEmptyId, kEmptyId, kEmptyId, kEmptyId, 7, kEmptyId, kEmptyId}));
    const auto block = answers[2].begin() + 2;
    EXPECT_EQ(read_info_block(std::span<const std::uint8_t, kInfoBlockSize>(&*block, kInfoBlockSize)).name, "Demo 7");
}

TEST(DeviceFlashInfoTest, ThreeBlocksPerFrameOnRequest) {
    DeviceConfig config;
    config.sectors = 5;
    config.flash_blocks_per_frame = 3;
    DeviceModel device(config);
    Host host(device);
    host.claim();
    const auto answers = bodies(host.exchange(command(kFlashInfo)));
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].size(), 506u);
    EXPECT_EQ(answers[1].size(), 338u);
}

TEST(DeviceFlashInfoTest, SmallAndEmptyTables) {
    for (unsigned sectors : {0u, 2u}) {
        DeviceConfig config;
        config.sectors = sectors;
        DeviceModel device(config);
        Host host(device);
        host.claim();
        const auto answers = bodies(host.exchange(command(kFlashInfo)));
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].size(), 2 + kInfoBlockSize * sectors);
        EXPECT_EQ(answers[0][1], sectors);
    }
}

TEST(DeviceAppInfoTest, BlockOfAKnownApplicationOrTheDecline) {
    DeviceConfig config;
    config.applications.push_back({2, demo_app(7), 0});
    DeviceModel device(config);
    Host host(device);
    host.claim();
    const Bytes known = host.ask(with_word(kAppInfo, 7));
    ASSERT_EQ(known.size(), 169u);
    const auto block = device.sector_info_block(2);
    EXPECT_EQ(Bytes(known.begin() + 1, known.end()), Bytes(block.begin(), block.end()));
    EXPECT_EQ(host.ask(with_word(kAppInfo, 8)), Bytes{kAppInfo});
    EXPECT_EQ(host.ask(with_word(kAppInfo, kEmptyId)), Bytes{kAppInfo});
}

TEST_F(DeviceTest, EraseAddressDataAndChecksumWorkOnTheDevicesMemory) {
    host.claim();
    const std::uint8_t staging = 8;
    EXPECT_EQ(host.ask(at_area(kAddress, staging, 0x100)), at_area(kAddress, staging, 0x100));
    EXPECT_EQ(host.ask(command(kData, {0x61, 0x62, 0x63})), (Bytes{kData, 0, 0, 0, 3}));
    EXPECT_EQ(host.ask(command(kData, {0x80})), (Bytes{kData, 0, 0, 0, 1}));  // the pointer moved on
    EXPECT_EQ(device.read_memory(staging, 0x100, 4), (Bytes{0x61, 0x62, 0x63, 0x80}));
    EXPECT_EQ(host.ask(checksum_command(staging, 0x100, 3)), (Bytes{kChecksum, 0xD8}));
    EXPECT_EQ(host.ask(checksum_command(staging, 0x200, 2)), (Bytes{kChecksum, 0x00}));  // erased: FF FF

    EXPECT_EQ(host.ask(command(kErase, {staging})), (Bytes{kErase, 0x00}));
    EXPECT_EQ(device.read_memory(staging, 0x100, 1), Bytes{0xFF});

    EXPECT_EQ(host.ask(at_area(kAddress, 9, 0)), refusal(kAddress, Refusal::bad_area));
    EXPECT_EQ(host.ask(at_area(kAddress, 0, 0x10000)), refusal(kAddress, Refusal::out_of_range));
    EXPECT_EQ(host.ask(command(kErase, {9})), refusal(kErase, Refusal::bad_area));
    EXPECT_EQ(host.ask(checksum_command(0, 0xFFFF, 2)), refusal(kChecksum, Refusal::out_of_range));
    EXPECT_EQ(host.ask(checksum_command(0, 0x10000, 0)), (Bytes{kChecksum, 0xFF}));
    EXPECT_EQ(host.ask(at_area(kAddress, 0, 0xFFFF)), at_area(kAddress, 0, 0xFFFF));
    EXPECT_EQ(host.ask(command(kData, {1, 2})), refusal(kData, Refusal::out_of_range));
}

TEST_F(DeviceTest, DataBeforeAnyAddressIsRefused) {
    host.claim();
    EXPECT_EQ(host.ask(command(kData, {1})), refusal(kData, Refusal::not_addressed));
}

TEST_F(DeviceTest, DownloadedImageIsListedAndStarts) {
    host.claim();
    const std::uint8_t staging = 8, target = 3;
    const Bytes image = make_application_image(demo_app(42, {0x01, 0x02, 0, 0}), 1000);
    const Bytes record = stream_record(0x0, image);
    const Bytes end_record(8, 0);
    const std::uint8_t record_sum = ones_complement_checksum(record);

    const auto first = host.download_record(staging, target, 0, record);
    ASSERT_EQ(first.size(), 1 + 3 + 1 + 2u);  // address, 480 + 480 + 216 bytes of data, checksum, program, checksum
    EXPECT_EQ(first[1], (Bytes{kData, 0, 0, 0x01, 0xE0}));
    EXPECT_EQ(first[3], (Bytes{kData, 0, 0, 0, 216}));
    EXPECT_EQ(first[4], (Bytes{kChecksum, record_sum}));
    EXPECT_EQ(first[5], (Bytes{kProgram, 0x00}));
    EXPECT_EQ(first[6], (Bytes{kChecksum, record_sum}));
    const auto second = host.download_record(staging, target, static_cast<std::uint32_t>(record.size()), end_record);
    EXPECT_EQ(second.back(), (Bytes{kChecksum, 0xFF}));

    EXPECT_EQ(device.read_memory(target, 0, static_cast<std::uint32_t>(record.size())), record);
    EXPECT_EQ(read_info_block(device.sector_info_block(target)).id, 42u);
    EXPECT_EQ(host.ask(with_word(kAppInfo, 42)).size(), 169u);
    EXPECT_EQ(host.ask(with_word(kStartApp, 42)), (Bytes{kStartApp, 0, 0, 0, 8, 0x01, 0x02, 0, 0}));
    EXPECT_EQ(device.running_application(), 42u);
}

TEST_F(DeviceTest, ProgrammingFlashOnlyClearsBitsUntilErased) {
    host.claim();
    const Bytes ones = stream_record(0, Bytes(200, 0xF0));
    const Bytes other = stream_record(0, Bytes(200, 0x0F));
    host.download_record(8, 1, 0, ones);
    const auto again = host.download_record(8, 1, 0, other);
    EXPECT_NE(again.back(), (Bytes{kChecksum, ones_complement_checksum(other)}));  // F0 & 0F = 00
    EXPECT_EQ(device.read_memory(1, 8, 1), Bytes{0x00});

    EXPECT_EQ(host.ask(command(kErase, {1})), (Bytes{kErase, 0x00}));
    EXPECT_EQ(host.download_record(8, 1, 0, other).back(), (Bytes{kChecksum, ones_complement_checksum(other)}));
}

TEST_F(DeviceTest, ProgramNeedsARecordInTheStagingArea) {
    host.claim();
    EXPECT_EQ(host.ask(at_area(kProgram, 0, 0)), refusal(kProgram, Refusal::no_record));
    EXPECT_EQ(host.ask(at_area(kProgram, 9, 0)), refusal(kProgram, Refusal::bad_area));
    // A header whose length runs past the area.
    host.ask(at_area(kAddress, 8, 0));
    host.ask(command(kData, {0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(host.ask(at_area(kProgram, 0, 0)), refusal(kProgram, Refusal::out_of_range));
}

TEST_F(DeviceTest, SerialNumberWriteChecksItsChecksum) {
    host.claim();
    const Bytes good{kWriteSerial, 0x7E, 0x80, 0x00, 0x01};
    EXPECT_EQ(host.ask(good), good);
    EXPECT_EQ(device.serial_word(), 0x800001u);
    EXPECT_EQ(get_be32(&host.ask(command(kQuery))[1 + 72]), 0x800001u);
    EXPECT_EQ(host.ask(Bytes{kWriteSerial, 0x7F, 0x80, 0x00, 0x01}), refusal(kWriteSerial, Refusal::bad_checksum));
    EXPECT_EQ(device.serial_word(), 0x800001u);
}

TEST(DeviceAutoStartTest, AcceptsInstalledApplicationsAndNone) {
    DeviceConfig config;
    config.applications.push_back({0, demo_app(3), 0});
    DeviceModel device(config);
    Host host(device);
    host.claim();
    EXPECT_EQ(host.ask(with_word(kAutoStart, 3)), with_word(kAutoStart, 3));
    EXPECT_EQ(device.autostart_app_id(), 3u);
    EXPECT_EQ(host.ask(with_word(kAutoStart, 4)), refusal(kAutoStart, Refusal::unknown_application));
    EXPECT_EQ(host.ask(with_word(kAutoStart, kEmptyId)), with_word(kAutoStart, kEmptyId));
    EXPECT_EQ(device.autostart_app_id(), kEmptyId);
}

TEST(DeviceStartTest, ResultCodesFeaturesAndApplicationTen) {
    DeviceConfig config;
    config.applications.push_back({0, demo_app(5, {0x01, 0x02, 0, 0}), 0});
    config.applications.push_back({1, demo_app(10), 0});
    config.applications.push_back({2, demo_app(1), 0});
    config.start_behaviour[6] = {4, std::nullopt};
    config.start_behaviour[5] = {8, std::array<std::uint8_t, 4>{0, 0, 0x04, 0}};
    config.start_behaviour[77] = {9, std::nullopt};
    DeviceModel device(config);
    Host host(device);
    const auto result = [](std::uint32_t code, std::array<std::uint8_t, 4> features = {}) {
        Bytes body = with_word(kStartApp, code);
        body.insert(body.end(), features.begin(), features.end());
        return body;
    };
    host.claim();
    EXPECT_EQ(host.ask(with_word(kStartApp, 9)), result(1));   // not in flash
    EXPECT_EQ(host.ask(with_word(kStartApp, 1)), result(1));   // a system kind
    EXPECT_EQ(host.ask(with_word(kStartApp, 6)), result(4));   // configured refusal
    EXPECT_EQ(host.ask(with_word(kStartApp, 77)), result(9));  // configured answer out of range
    EXPECT_EQ(host.ask(with_word(kStartApp, 5)), result(8, {0, 0, 0x04, 0}));  // configured features win
    EXPECT_EQ(host.ask(with_word(kStartApp, 10)), result(0));  // already running
    EXPECT_TRUE(device.claim().claimed);

    host.exchange(command(kReset, {kReset}));
    EXPECT_FALSE(device.claim().claimed);
    EXPECT_FALSE(device.running_application());
    host.claim();
    EXPECT_EQ(host.ask(with_word(kStartApp, 10)), result(8));
    EXPECT_FALSE(device.claim().claimed);  // application 10 ends the connection
}

TEST_F(DeviceTest, ResetHasNoAnswerAndLosesTheStagingArea) {
    host.claim();
    host.ask(at_area(kAddress, 8, 0));
    host.ask(command(kData, {1, 2, 3}));
    host.ask(at_area(kAddress, 0, 0));
    host.ask(command(kData, {1, 2, 3}));
    EXPECT_TRUE(host.exchange(command(kReset, {kReset})).answers.empty());
    EXPECT_FALSE(device.claim().claimed);
    EXPECT_EQ(device.read_memory(8, 0, 1), Bytes{0xFF});
    EXPECT_EQ(device.read_memory(0, 0, 1), Bytes{0x01});  // flash survives
    host.claim();
    EXPECT_EQ(host.ask(command(kData, {1})), refusal(kData, Refusal::not_addressed));
}

TEST(DeviceClaimTest, ClaimLapsesAfterTheTimeOutWithoutHostFrames) {
    DeviceConfig config;
    config.claim_timeout_ms = 1000;
    DeviceModel device(config);
    std::uint64_t now = 0;
    device.set_clock([&now] { return now; });
    Host host(device);
    host.claim(kHostId);
    now += 900;
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
    now += 900;
    EXPECT_EQ(host.ask(connect_command(kOtherHostId))[0], kRefused);  // kept alive
    now += 1001;
    host.claim(kOtherHostId);

    // Only the holder's own frames keep its claim: another host's searches do not.
    Host searching(device, 2);
    for (int i = 0; i < 3; ++i) {
        now += 900;
        EXPECT_EQ(searching.ask(command(kQuery)).size(), 89u);
    }
    EXPECT_EQ(searching.ask(connect_command(kHostId))[0], kConnectAck);
}

TEST(DeviceStateTest, FlashAndSettingsSurviveASaveAndLoad) {
    DeviceConfig config;
    config.sectors = 2;
    DeviceModel first(config);
    first.install_application({1, demo_app(9), 5000});
    Host host(first);
    host.claim();
    host.ask(with_word(kAutoStart, 9));
    host.ask(Bytes{kWriteSerial, 0x7E, 0x80, 0x00, 0x01});
    std::stringstream state;
    first.save_state(state);

    DeviceModel second(config);
    second.load_state(state);
    EXPECT_EQ(second.read_memory(1, 0, 5200), first.read_memory(1, 0, 5200));
    EXPECT_EQ(second.autostart_app_id(), 9u);
    EXPECT_EQ(second.serial_word(), 0x800001u);

    config.sectors = 3;
    DeviceModel other_geometry(config);
    std::stringstream again(state.str());
    EXPECT_THROW(other_geometry.load_state(again), std::runtime_error);
    std::stringstream garbage("not a state");
    EXPECT_THROW(second.load_state(garbage), std::runtime_error);
}

TEST(DeviceConfigTest, ImpossibleConfigurationsAreRejected) {
    DeviceConfig config;
    config.sectors = 256;
    EXPECT_THROW(DeviceModel{config}, std::invalid_argument);
    config = {};
    config.sector_size = 100;
    EXPECT_THROW(DeviceModel{config}, std::invalid_argument);
    config = {};
    config.applications = {{0, demo_app(1), 0}, {0, demo_app(2), 0}};
    EXPECT_NE(check_config(config).find("already holds"), std::string::npos);
    config.applications = {{0, demo_app(1), 0x10000}};
    EXPECT_NE(check_config(config).find("does not fit"), std::string::npos);
}

TEST(InProcessDrovaTest, AnswersThroughTheBackendInterface) {
    auto model = std::make_shared<DeviceModel>();
    InProcessDrova device(model);
    usb::InProcessDevice &as_backend = device;
    as_backend.on_open();
    const Bytes frame = make_command_frame(command(kKeepAlive));
    std::vector<usb::Block> answers;
    EXPECT_TRUE(as_backend.on_host_block(frame.data(), frame.size(), answers));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], make_answer_frame(Bytes{kKeepAlive}));

    FaultRule unplug;
    unplug.kind = FaultKind::unplug;
    unplug.opcode = kKeepAlive;
    model->add_fault(unplug);
    answers.clear();
    EXPECT_FALSE(as_backend.on_host_block(frame.data(), frame.size(), answers));
    EXPECT_FALSE(as_backend.on_host_block(frame.data(), frame.size(), answers));
    EXPECT_TRUE(answers.empty());
    model->replug();
    EXPECT_TRUE(as_backend.on_host_block(frame.data(), frame.size(), answers));
    as_backend.on_close();
}

}  // namespace
}  // namespace velkor::sim::testing
