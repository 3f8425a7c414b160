#include <gtest/gtest.h>

#include <array>

#include "protocol/connect.h"
#include "protocol/frame.h"

namespace velkor::protocol {
namespace {

TEST(Frame, OneByteCommand) {
    std::array<std::uint8_t, kFrameSize> frame;
    frame.fill(0xAA);
    const std::uint8_t command[] = {0xE5};
    build_frame(command, 1, frame.data());
    const std::uint8_t header[] = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xE5};
    for (std::size_t i = 0; i < sizeof header; ++i) EXPECT_EQ(frame[i], header[i]) << i;
    for (std::size_t i = sizeof header; i < kFrameSize; ++i) ASSERT_EQ(frame[i], 0) << i;
}

TEST(Frame, ConnectRequestBytes) {
    std::array<std::uint8_t, kMaxCommandLength> command{};
    command[0] = kOpConnect;
    const std::uint32_t id = 0x2A0B3C11;  // seconds 0x2A, hundredths 0x0B, hours 0x3C? just bytes
    build_connect_request(command.data(), 7, id);
    std::array<std::uint8_t, kFrameSize> frame;
    build_frame(command.data(), kConnectRequestLength, frame.data());
    EXPECT_EQ(frame[4], 0x00);
    EXPECT_EQ(frame[5], 0x00);
    EXPECT_EQ(frame[6], 0x01);
    EXPECT_EQ(frame[7], 0xDF);
    EXPECT_EQ(frame[19], 0xDF);
    EXPECT_EQ(frame[20], 0xE0);
    EXPECT_EQ(frame[21], 7);
    EXPECT_EQ(frame[22], 0x11);  // the identifier in memory order
    EXPECT_EQ(frame[23], 0x3C);
    EXPECT_EQ(frame[24], 0x0B);
    EXPECT_EQ(frame[25], 0x2A);
    EXPECT_EQ(frame[26], 0xDF);
    EXPECT_EQ(frame[27], 0x01);
    EXPECT_EQ(frame[28], 0x00);
    EXPECT_EQ(frame[29], 0x00);
    EXPECT_EQ(frame[30], 0x0A);
    EXPECT_EQ(frame[275], 0xFF);
    EXPECT_EQ(frame[276], 0x00);
    EXPECT_EQ(frame[498], 0xDE);
    EXPECT_EQ(frame[499], 0x00);
}

TEST(Frame, AnswerHeaderIsBigEndian) {
    std::array<std::uint8_t, kFrameSize> frame{};
    frame[3] = 5;
    frame[6] = 0x01;
    frame[7] = 0x02;
    const AnswerHeader header = read_answer_header(frame.data());
    EXPECT_EQ(header.channel, 5u);
    EXPECT_EQ(header.length, 0x102u);
}

}  // namespace
}  // namespace velkor::protocol
