// How long the bridge waits for a device to take and to answer a host block: the first
// answer within the period of the command the block carries, each further
// one within a short gap after the one before.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace velkor::usbd {

using std::chrono::milliseconds;

struct AnswerPeriods {
    milliseconds connect{6000};
    milliseconds erase_or_program{30000};
    milliseconds other{2000};
    milliseconds gap{20};  // after an answer: the device has said all once this passes quietly
    milliseconds send{2000};  // for the host block's bulk OUT transfer

    // Every period divided by `factor` (tests run the device's minutes in
    // milliseconds).
    AnswerPeriods scaled_down(unsigned factor) const;
};

// The wait for the first answer to `block`: the command's period, or none for
// the acknowledgements and reset, which a device does not answer. A block that
// is no well-formed command frame gets the period of the ordinary commands.
milliseconds first_answer_wait(std::span<const std::uint8_t> block, const AnswerPeriods &periods);

}  // namespace velkor::usbd
