#include "in_process_drova.h"

#include <chrono>
#include <thread>

namespace velkor::sim {

bool InProcessDrova::on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) {
    Exchange exchange = model_->host_block({data, size});
    if (exchange.delay_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(exchange.delay_ms));
    for (auto &answer : exchange.answers) answers.push_back(std::move(answer));
    return !exchange.unplugged;
}

}  // namespace velkor::sim
