// A session on a fast clock with scripted devices attached in-process.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_device.h"
#include "support/session_fixture.h"
#include "usb/in_process_device.h"

namespace velkor::testing {

// Answers like a healthy device that accepts everything.
struct CooperativeDevice {
    std::uint32_t serial = 0x123456;
    std::uint32_t fos_version = 0x01010000;
    std::uint32_t status = 0;

    std::vector<Block> operator()(const Block &frame) const;
};

class ProtocolFixture : public SessionFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    std::shared_ptr<ScriptedDevice> attach(const std::string &name, ScriptedDevice::Responder responder);

    // Searches and waits for the search to end; true when devices were found.
    bool search();
    // Searches, connects to `serial` and waits for (9,0).
    void connect_to(std::uint32_t serial);
    // Waits until no command is in flight.
    bool wait_idle(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Real time for `ms` of the session's clock.
    void pass(std::uint32_t ms);
};

}  // namespace velkor::testing
