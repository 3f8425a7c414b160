#include "answer_wait.h"

#include "wire.h"

namespace velkor::usbd {

AnswerPeriods AnswerPeriods::scaled_down(unsigned factor) const {
    const auto scale = [factor](milliseconds period) { return period / (factor == 0 ? 1 : factor); };
    return {scale(connect), scale(erase_or_program), scale(other), scale(gap), scale(send)};
}

milliseconds first_answer_wait(std::span<const std::uint8_t> block, const AnswerPeriods &periods) {
    const auto frame = sim::parse_command_frame(block);
    if (!frame) return periods.other;
    switch (frame->opcode()) {
    case sim::kConnect: return periods.connect;
    case sim::kErase:
    case sim::kProgram: return periods.erase_or_program;
    case sim::kConnectAck:
    case sim::kDisconnectAck:
    case sim::kReset: return milliseconds{0};
    default: return periods.other;
    }
}

}  // namespace velkor::usbd
