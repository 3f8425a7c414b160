#include "in_process_drova.h"

namespace velkor::sim {

bool InProcessDrova::on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) {
    Exchange exchange = model_->host_block({data, size});
    later_.clear();
    if (exchange.delay_ms == 0) {
        for (auto &answer : exchange.answers) answers.push_back(std::move(answer));
    } else {
        for (auto &answer : exchange.answers) later_.push_back({std::move(answer), exchange.delay_ms});
    }
    // Held back to go out unsolicited: sent after that pause unless the next
    // write comes first, which finds them sent before its own answers.
    if (exchange.late_after_ms != 0) {
        for (auto &held : model_->take_held_answers()) later_.push_back({std::move(held), exchange.late_after_ms});
    }
    return !exchange.unplugged;
}

void InProcessDrova::take_later_blocks(std::vector<usb::LaterBlock> &later) {
    for (auto &block : later_) later.push_back(std::move(block));
    later_.clear();
}

}  // namespace velkor::sim
