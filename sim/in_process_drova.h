// A simulated device attached to the library's in-process USB backend:
//
//   auto model = std::make_shared<velkor::sim::DeviceModel>(config);
//   velkor::usb::attach_in_process_device("drova0", std::make_shared<velkor::sim::InProcessDrova>(model));
//
// The test keeps `model` to set faults and to look at the device's state.
#pragma once

#include <memory>

#include "device_model.h"
#include "usb/in_process_device.h"

namespace velkor::sim {

class InProcessDrova final : public usb::InProcessDevice {
public:
    explicit InProcessDrova(std::shared_ptr<DeviceModel> model) : model_(std::move(model)) {}

    void on_open() override { model_->link_opened(); }
    void on_close() override { model_->link_closed(); }
    // A delay fault sends the answers that much later. A late answer is held
    // until the next write, or with an amount sent unsolicited after it. An
    // unplug delivers the frames before the cut and fails the write.
    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) override;
    void take_later_blocks(std::vector<usb::LaterBlock> &later) override;

    DeviceModel &model() { return *model_; }

private:
    std::shared_ptr<DeviceModel> model_;
    std::vector<usb::LaterBlock> later_;  // of the last write, until the backend takes them
};

}  // namespace velkor::sim
