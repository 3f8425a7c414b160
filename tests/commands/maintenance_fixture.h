// A session connected to a FlashDevice.
#pragma once

#include <memory>
#include <vector>

#include "commands/flash_device.h"
#include "protocol/protocol_fixture.h"

namespace velkor::testing {

class MaintenanceFixture : public ProtocolFixture {
protected:
    // Attaches a device with these sectors and connects to it.
    void connect_device(std::vector<InfoBlock> sectors);
    // Reads the flash table and waits for (11,0); clears the events.
    void read_flash_table();

    // The frames the host wrote since `from`, as command bytes (the frame
    // from offset 20, as long as its header says).
    std::vector<Bytes> commands(std::size_t from = 0) const;
    std::size_t frames_written() const { return scripted->writes().size(); }

    std::unique_ptr<FlashDevice> device;
    std::shared_ptr<ScriptedDevice> scripted;
};

// Sectors 0..count-1 holding applications 100, 101, ...
std::vector<InfoBlock> sector_blocks(std::size_t count);

}  // namespace velkor::testing
