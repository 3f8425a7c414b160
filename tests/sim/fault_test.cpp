// Faults of the simulated device: which frames they hit and what they do to
// the answers.
#include <gtest/gtest.h>

#include "device_model.h"
#include "sim_config.h"
#include "sim_host.h"

namespace velkor::sim::testing {
namespace {

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override { host.claim(); }

    FaultRule rule(FaultKind kind, std::optional<std::uint8_t> opcode, std::optional<std::int64_t> amount = {}) {
        FaultRule r;
        r.kind = kind;
        r.opcode = opcode;
        r.amount = amount;
        return r;
    }

    DeviceModel device{};
    Host host{device};
};

TEST_F(FaultTest, OccurrencesAreCountedPerOpcode) {
    FaultRule r = rule(FaultKind::no_answer, kKeepAlive);
    r.skip = 1;
    r.times = 2;
    device.add_fault(r);
    EXPECT_EQ(bodies(host.exchange(command(kQuery))).size(), 1u);  // other opcodes do not count
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 1u);
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 0u);
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 0u);
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 1u);

    r = rule(FaultKind::no_answer, std::nullopt);
    r.times = 0;  // every frame until cleared
    device.add_fault(r);
    EXPECT_TRUE(host.exchange(command(kQuery)).answers.empty());
    EXPECT_TRUE(host.exchange(command(kKeepAlive)).answers.empty());
    device.clear_faults();
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 1u);
}

TEST_F(FaultTest, NoAnswerIgnoresTheCommandLostAnswerCarriesItOut) {
    device.add_fault(rule(FaultKind::no_answer, kWriteSerial));
    const Bytes write{kWriteSerial, 0x7E, 0x80, 0x00, 0x01};
    EXPECT_TRUE(host.exchange(write).answers.empty());
    EXPECT_EQ(device.serial_word(), 0x8D0123u);
    device.add_fault(rule(FaultKind::lost_answer, kWriteSerial));
    EXPECT_TRUE(host.exchange(write).answers.empty());
    EXPECT_EQ(device.serial_word(), 0x800001u);
}

TEST_F(FaultTest, RefusalsAndCode230) {
    device.add_fault(rule(FaultKind::refuse, kDisconnect));
    const Bytes refused = host.ask(command(kDisconnect));
    ASSERT_EQ(refused.size(), 17u);
    EXPECT_EQ(refused[0], kRefused);
    EXPECT_EQ(get_be32(&refused[1]), static_cast<std::uint32_t>(Refusal::on_request));
    EXPECT_TRUE(device.claim().claimed);

    device.add_fault(rule(FaultKind::refuse, kConnect));
    EXPECT_EQ(host.ask(connect_command(kHostId))[0], kRefused);
    device.add_fault(rule(FaultKind::refuse, kErase));
    EXPECT_EQ(host.ask(command(kErase, {0})), refusal(kErase, Refusal::on_request));

    host.ask(command(kDisconnect));
    device.add_fault(rule(FaultKind::answer_230, kConnect));
    const Bytes answer = host.ask(connect_command(kHostId));
    EXPECT_EQ(answer.size(), 89u);
    EXPECT_EQ(answer[0], kQuery);
    EXPECT_FALSE(device.claim().claimed);
}

TEST_F(FaultTest, BodyFaultsChangeLengthBytesAndChecksum) {
    device.add_fault(rule(FaultKind::wrong_length, kKeepAlive));
    EXPECT_EQ(host.ask(command(kKeepAlive)), (Bytes{kKeepAlive, 0}));
    device.add_fault(rule(FaultKind::wrong_length, kQuery, -1));
    EXPECT_EQ(host.ask(command(kQuery)).size(), 348u);

    host.ask(at_area(kAddress, 0, 0));
    device.add_fault(rule(FaultKind::corrupt_byte, kAddress));
    EXPECT_EQ(host.ask(at_area(kAddress, 0, 0x12)), (Bytes{kAddress, 0, 0, 0, 0, 0xED}));
    device.add_fault(rule(FaultKind::corrupt_byte, kAddress, 0));
    EXPECT_EQ(host.ask(at_area(kAddress, 0, 0x12))[0], 0x13);

    device.add_fault(rule(FaultKind::wrong_checksum, kChecksum));
    EXPECT_EQ(host.ask(checksum_command(0, 0, 2)), (Bytes{kChecksum, 0x01}));
    EXPECT_EQ(host.ask(checksum_command(0, 0, 2)), (Bytes{kChecksum, 0x00}));
}

TEST_F(FaultTest, FlashCountNeverMatchesAndFramesCanBeChosen) {
    device.add_fault(rule(FaultKind::flash_count, kFlashInfo));
    for (const Bytes &body : bodies(host.exchange(command(kFlashInfo)))) EXPECT_EQ(body[1], 9);
    device.add_fault(rule(FaultKind::flash_count, kFlashInfo, 0));
    for (const Bytes &body : bodies(host.exchange(command(kFlashInfo)))) EXPECT_EQ(body[1], 0);

    FaultRule second_frame = rule(FaultKind::wrong_length, kFlashInfo);
    second_frame.frame = 1;
    device.add_fault(second_frame);
    const auto answers = bodies(host.exchange(command(kFlashInfo)));
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[0].size(), 338u);
    EXPECT_EQ(answers[1].size(), 339u);
    EXPECT_EQ(answers[2].size(), 338u);
}

TEST_F(FaultTest, FrameHeaderFaults) {
    device.add_fault(rule(FaultKind::channel, kQuery));
    EXPECT_EQ(get_be32(host.exchange(command(kQuery)).answers[0].data()), 5u);

    device.add_fault(rule(FaultKind::length_zero, kKeepAlive));
    Bytes frame = host.exchange(command(kKeepAlive)).answers.at(0);
    EXPECT_EQ(frame.size(), 21u);
    EXPECT_FALSE(answer_body(frame));

    device.add_fault(rule(FaultKind::short_frame, kKeepAlive));
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.at(0).size(), 20u);
    device.add_fault(rule(FaultKind::short_frame, kQuery, 10));
    EXPECT_EQ(host.exchange(command(kQuery)).answers.at(0).size(), 10u);

    device.add_fault(rule(FaultKind::length_beyond, kKeepAlive));
    frame = host.exchange(command(kKeepAlive)).answers.at(0);
    EXPECT_EQ(frame.size(), 21u);
    EXPECT_EQ(get_be32(&frame[4]), 17u);

    device.add_fault(rule(FaultKind::oversize, kKeepAlive));
    frame = host.exchange(command(kKeepAlive)).answers.at(0);
    EXPECT_EQ(frame.size(), 600u);
    EXPECT_EQ(get_be32(&frame[4]), 1u);
}

TEST_F(FaultTest, ExtraFramesRepeatTheAnswer) {
    device.add_fault(rule(FaultKind::extra_frames, kKeepAlive, 2));
    const auto answers = bodies(host.exchange(command(kKeepAlive)));
    EXPECT_EQ(answers, (std::vector<Bytes>{{kKeepAlive}, {kKeepAlive}, {kKeepAlive}}));
}

TEST_F(FaultTest, LateAnswerComesBeforeTheNextAnswerOrUnsolicited) {
    device.add_fault(rule(FaultKind::late_answer, kQuery));
    EXPECT_TRUE(host.exchange(command(kQuery)).answers.empty());
    auto answers = bodies(host.exchange(command(kKeepAlive)));
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].size(), 349u);
    EXPECT_EQ(answers[1], Bytes{kKeepAlive});

    device.add_fault(rule(FaultKind::late_answer, kKeepAlive, 250));
    EXPECT_EQ(host.exchange(command(kKeepAlive)).late_after_ms, 250u);
    EXPECT_EQ(device.take_held_answers().size(), 1u);
    EXPECT_TRUE(device.take_held_answers().empty());

    // Held answers go with the link.
    device.add_fault(rule(FaultKind::late_answer, kKeepAlive));
    host.exchange(command(kKeepAlive));
    device.link_closed();
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 1u);

    // Each host's are its own: held from one, they wait for that one and go with its link.
    Host other(device, 7);
    device.add_fault(rule(FaultKind::late_answer, kQuery));
    EXPECT_TRUE(other.exchange(command(kQuery)).answers.empty());
    EXPECT_EQ(host.exchange(command(kKeepAlive)).answers.size(), 1u);
    device.link_closed();
    EXPECT_EQ(device.take_held_answers(7).size(), 1u);
    device.add_fault(rule(FaultKind::late_answer, kQuery));
    other.exchange(command(kQuery));
    device.link_closed(7);
    EXPECT_EQ(other.exchange(command(kKeepAlive)).answers.size(), 1u);
}

TEST_F(FaultTest, DelayIsReportedToTheTransport) {
    device.add_fault(rule(FaultKind::delay, kErase, 1500));
    const Exchange exchange = host.exchange(command(kErase, {0}));
    EXPECT_EQ(exchange.delay_ms, 1500u);
    EXPECT_EQ(exchange.answers.size(), 1u);
}

TEST_F(FaultTest, UnplugCutsTheExchangeUntilPluggedInAgain) {
    device.add_fault(rule(FaultKind::unplug, kFlashInfo, 1));
    Exchange exchange = host.exchange(command(kFlashInfo));
    EXPECT_TRUE(exchange.unplugged);
    EXPECT_EQ(exchange.answers.size(), 1u);
    exchange = host.exchange(command(kKeepAlive));
    EXPECT_TRUE(exchange.unplugged);
    EXPECT_TRUE(exchange.answers.empty());
    EXPECT_TRUE(device.unplugged());

    device.replug();
    EXPECT_FALSE(device.claim().claimed);  // a power cycle
    EXPECT_EQ(host.ask(command(kKeepAlive)), Bytes{kKeepAlive});
}

TEST(FaultTextTest, TextFormAndJsonForm) {
    FaultRule r = parse_fault_text("no_answer@query,skip=1,times=2");
    EXPECT_EQ(r.kind, FaultKind::no_answer);
    EXPECT_EQ(r.opcode, kQuery);
    EXPECT_EQ(r.skip, 1u);
    EXPECT_EQ(r.times, 2u);
    r = parse_fault_text("wrong_length@231,amount=-2,frame=-1");
    EXPECT_EQ(r.opcode, kFlashInfo);
    EXPECT_EQ(r.amount, -2);
    EXPECT_EQ(r.frame, -1);
    EXPECT_FALSE(parse_fault_text("unplug").opcode);
    EXPECT_THROW(parse_fault_text("melt@query"), ConfigError);
    EXPECT_THROW(parse_fault_text("no_answer@nothing"), ConfigError);
    EXPECT_THROW(parse_fault_text("no_answer,times"), ConfigError);
    EXPECT_THROW(parse_fault_text("no_answer,times=-1"), ConfigError);
    EXPECT_THROW(parse_fault_text("no_answer,when=1"), ConfigError);
}

}  // namespace
}  // namespace velkor::sim::testing
