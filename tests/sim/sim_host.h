// Builds the command frames a host writes and reads the answers a simulated
// device gives, for tests of the device model and the daemon.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "device_model.h"
#include "wire.h"

namespace velkor::sim::testing {

inline constexpr std::array<std::uint8_t, 4> kHostId{0x11, 0x22, 0x33, 0x44};
inline constexpr std::array<std::uint8_t, 4> kOtherHostId{0x55, 0x66, 0x77, 0x88};

inline Bytes command(std::uint8_t opcode, std::initializer_list<std::uint8_t> payload = {}) {
    Bytes bytes(1 + payload.size());
    bytes[0] = opcode;
    std::copy(payload.begin(), payload.end(), bytes.begin() + 1);
    return bytes;
}

inline Bytes with_word(std::uint8_t opcode, std::uint32_t word) {
    Bytes bytes{opcode};
    append_be32(bytes, word);
    return bytes;
}

// Command bytes of an area-qualified address command (address, program), or
// of a checksum command when a length is given.
inline Bytes at_area(std::uint8_t opcode, std::uint8_t area, std::uint32_t address) {
    Bytes bytes{opcode, area};
    append_be32(bytes, address);
    return bytes;
}
inline Bytes checksum_command(std::uint8_t area, std::uint32_t address, std::uint32_t length) {
    Bytes bytes = at_area(kChecksum, area, address);
    append_be32(bytes, length);
    return bytes;
}

// The connect request as the library builds it.
inline Bytes connect_command(const std::array<std::uint8_t, 4> &id, std::uint8_t mode = 0) {
    Bytes bytes(479);
    bytes[0] = kConnect;
    bytes[1] = mode;
    std::copy(id.begin(), id.end(), bytes.begin() + 2);
    bytes[6] = 0xDF;
    bytes[7] = 0x01;
    for (std::size_t k = 10; k < bytes.size(); ++k) bytes[k] = static_cast<std::uint8_t>(k);
    return bytes;
}

// The answer bodies of an exchange, one per delivered frame (empty for a
// frame without a body).
inline std::vector<Bytes> bodies(const Exchange &exchange) {
    std::vector<Bytes> out;
    for (const auto &frame : exchange.answers) {
        const auto body = answer_body(frame);
        out.push_back(body ? Bytes(body->begin(), body->end()) : Bytes{});
    }
    return out;
}

// A host writing to the device, known to it by `identity` (0: the one host
// of an in-process device).
class Host {
public:
    explicit Host(DeviceModel &device, std::uint64_t identity = 0) : device_(device), identity_(identity) {}

    Exchange exchange(const Bytes &command_bytes) {
        return device_.host_block(make_command_frame(command_bytes), identity_);
    }

    // The one answer body of a command; fails the test when there is not exactly one.
    Bytes ask(const Bytes &command_bytes) {
        const auto answers = bodies(exchange(command_bytes));
        EXPECT_EQ(answers.size(), 1u) << "answers to opcode " << int(command_bytes[0]);
        return answers.empty() ? Bytes{} : answers.front();
    }

    void claim(const std::array<std::uint8_t, 4> &id = kHostId) {
        const Bytes answer = ask(connect_command(id));
        ASSERT_EQ(answer, (Bytes{kConnectAck, id[0], id[1], id[2], id[3]}));
        EXPECT_TRUE(exchange(command(kConnectAck, {0, id[0], id[1], id[2]})).answers.empty());
    }

    // What a download of one record through the staging area does: address,
    // data in chunks of at most 480 bytes, checksum, and when the target is a
    // sector, program and a second checksum. Returns the answer bodies in order.
    std::vector<Bytes> download_record(std::uint8_t staging, std::uint8_t target, std::uint32_t offset,
                                       const Bytes &record) {
        std::vector<Bytes> answers;
        answers.push_back(ask(at_area(kAddress, staging, offset)));
        for (std::size_t done = 0; done < record.size(); done += 480) {
            Bytes chunk{kData};
            chunk.insert(chunk.end(), record.begin() + static_cast<std::ptrdiff_t>(done),
                         record.begin() + static_cast<std::ptrdiff_t>(std::min(record.size(), done + 480)));
            answers.push_back(ask(chunk));
        }
        const auto size = static_cast<std::uint32_t>(record.size());
        answers.push_back(ask(checksum_command(staging, offset, size)));
        if (target != staging) {
            answers.push_back(ask(at_area(kProgram, target, offset)));
            answers.push_back(ask(checksum_command(target, offset, size)));
        }
        return answers;
    }

private:
    DeviceModel &device_;
    std::uint64_t identity_;
};

// A download stream record: address and length big-endian, then the data.
inline Bytes stream_record(std::uint32_t address, const Bytes &data) {
    Bytes record;
    append_be32(record, address);
    append_be32(record, static_cast<std::uint32_t>(data.size()));
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

inline Bytes refusal(std::uint8_t opcode, Refusal why) { return {opcode, 0xFF, static_cast<std::uint8_t>(why)}; }

}  // namespace velkor::sim::testing
