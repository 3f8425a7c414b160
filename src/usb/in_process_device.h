// A device that lives in the same process as the library (the simulator, a
// test double). It is attached to the in-process USB backend. It answers a
// host write with zero or more blocks at once, which a read right after the
// write finds, and may send more blocks later, as a slow device does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velkor::usb {

using Block = std::vector<std::uint8_t>;

// A block the device sends `delay_ms` after the write it answers.
struct LaterBlock {
    Block block;
    std::uint32_t delay_ms = 0;
};

class InProcessDevice {
public:
    virtual ~InProcessDevice() = default;

    // The host opened / closed this device's interface.
    virtual void on_open() {}
    virtual void on_close() {}

    // One block written by the host (a 512-byte frame). Appends the blocks
    // the device answers, in order; each may have any length. Returns false
    // when the device is gone (unplugged): the write fails and the link then
    // reads end of file.
    virtual bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<Block> &answers) = 0;
    // Asked right after on_host_block: the blocks the device sends later,
    // behind the answers given at once. A later write finds them all sent
    // before its own answers.
    virtual void take_later_blocks(std::vector<LaterBlock> &) {}
};

// Devices are listed in the order of their names, like the socket backend's
// directory listing; a device's interface path is its name. Attaching under an
// existing name replaces that device: a link open on the replaced or detached
// device then fails its writes and reads end of file.
//
// The lookup and the link use the in-process backend while any device is
// attached or while it is selected; selecting it with nothing attached gives a
// host on which no device is present.
void attach_in_process_device(const std::string &name, std::shared_ptr<InProcessDevice> device);
void detach_in_process_device(const std::string &name);
void detach_all_in_process_devices();
void select_in_process_backend(bool selected);

}  // namespace velkor::usb
