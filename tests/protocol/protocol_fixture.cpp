#include "protocol/protocol_fixture.h"

#include <cstring>

namespace velkor::testing {

std::vector<Block> CooperativeDevice::operator()(const Block &frame) const {
    const std::uint8_t opcode = frame[20];
    switch (opcode) {
    case 0xE6: {
        std::vector<std::uint8_t> body{0xE6};
        const auto report = device_report(serial, fos_version, status);
        body.insert(body.end(), report.begin(), report.end());
        return {answer_frame(body)};
    }
    case 0xE0:
        return {answer_frame({0xE2, frame[22], frame[23], frame[24], frame[25]})};
    case 0xE1:
        return {answer_frame({0xE3})};
    case 0xE5:
        return {answer_frame({0xE5})};
    case 0xEC:
        return {answer_frame(std::vector<std::uint8_t>(frame.begin() + 20, frame.begin() + 26))};
    default:
        return {};
    }
}

void ProtocolFixture::SetUp() {
    usb::detach_all_in_process_devices();
    SessionFixture::SetUp();
}

void ProtocolFixture::TearDown() {
    SessionFixture::TearDown();
    usb::detach_all_in_process_devices();
}

std::shared_ptr<ScriptedDevice> ProtocolFixture::attach(const std::string &name, ScriptedDevice::Responder responder) {
    auto device = std::make_shared<ScriptedDevice>(std::move(responder));
    usb::attach_in_process_device(name, device);
    return device;
}

bool ProtocolFixture::search() {
    const auto before = events.events().size();
    _FindDROVAs(-1, 0, 50);
    for (int i = 0; i < 10000; ++i) {
        const auto all = events.events();
        for (std::size_t k = before; k < all.size(); ++k)
            if (all[k].first == VELKOR_EV_SEARCH) return all[k].second == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "the search never ended";
    return false;
}

void ProtocolFixture::connect_to(std::uint32_t serial) {
    ASSERT_TRUE(search());
    ASSERT_EQ(_Connect(static_cast<int>(serial), 0, 0), 0);
    ASSERT_TRUE(events.wait_for({VELKOR_EV_CONNECT, 0}));
    ASSERT_TRUE(wait_idle());
    events.clear();
}

bool ProtocolFixture::wait_idle(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (session().command.state() != kIdle) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void ProtocolFixture::pass(std::uint32_t ms) {
    std::this_thread::sleep_for(session().workers()->clock->real_duration(ms));
}

}  // namespace velkor::testing
