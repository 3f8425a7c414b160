#include "protocol/frame.h"

#include <cstring>

#include "model/byte_order.h"

namespace velkor::protocol {

void build_frame(const std::uint8_t *command, std::size_t length, std::uint8_t *frame) {
    std::memset(frame, 0, kFrameSize);
    store_be32(frame + 4, static_cast<std::uint32_t>(length));
    store_be32(frame + 16, static_cast<std::uint32_t>(length));
    std::memcpy(frame + kHeaderSize, command, length);
}

AnswerHeader read_answer_header(const std::uint8_t *frame) { return {load_be32(frame), load_be32(frame + 4)}; }

}  // namespace velkor::protocol
