// The maintenance commands against the simulated device, attached in-process:
// what a host does to put an application on a device and run it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "device_model.h"
#include "in_process_drova.h"
#include "protocol/protocol_fixture.h"

namespace velkor::testing {
namespace {

class SimulatedDevice : public ProtocolFixture {
protected:
    void SetUp() override {
        ProtocolFixture::SetUp();
        sim::DeviceConfig config;
        config.sectors = 5;  // a table of three frames
        model = std::make_shared<sim::DeviceModel>(config);
        usb::attach_in_process_device("drova0", std::make_shared<sim::InProcessDrova>(model));
        connect_to(config.serial_word);
    }

    void run(int (*command)(), Event success) { finish(command(), success); }
    // The command's outcome, whichever it is, is the one expected.
    void finish(int result, Event success) {
        ASSERT_EQ(result, 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            const auto all = events.events();
            const auto outcome = std::find_if(all.begin(), all.end(), [&](const Event &e) { return e.first == success.first; });
            if (outcome != all.end()) {
                EXPECT_EQ(*outcome, success);
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "no outcome of " << success.first;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(wait_idle());
        events.clear();
    }

    std::uint32_t sector_id(std::size_t sector) {
        return session().workers()->flash_sectors.read(
            [&](const auto &list) { return sector < list.size() ? list[sector].info().id() : 0u; });
    }

    std::shared_ptr<sim::DeviceModel> model;
};

TEST_F(SimulatedDevice, PutAnApplicationOnTheDeviceAndRunIt) {
    run(_FlashInfo, {11, 0});
    EXPECT_EQ(sector_id(0), 0xFFFFFFFFu);
    EXPECT_EQ(session().workers()->flash_sectors.size(), 5u);

    finish(_Erase(0), {4, 0});

    sim::AppInfoFields app;
    app.id = 77;
    app.name = "Demo";
    app.features = {0x05, 0x00, 0x00, 0x00};
    const sim::Bytes image = sim::make_application_image(app, 5000);
    TBinList *list = _BinListCreate();
    BinBlock block{0, static_cast<u32>(image.size()), const_cast<u8 *>(image.data())};
    ASSERT_EQ(_BinListAdd(list, &block), 0);
    finish(_Download(0, list), {3, 0});
    _BinListFree(list);
    EXPECT_EQ(model->read_memory(0, 8, static_cast<std::uint32_t>(image.size())), image);

    run(_FlashInfo, {11, 0});
    EXPECT_EQ(sector_id(0), 77u);
    finish(_AppInfo(77), {8, 0});

    finish(_StartApp(77), {14, 0});
    EXPECT_EQ(_IsSupportedFwFeature(0), 1);
    EXPECT_EQ(_IsSupportedFwFeature(1), 0);
    EXPECT_EQ(_IsSupportedFwFeature(2), 1);
    EXPECT_EQ(model->running_application(), 77u);

    finish(_AutoStart(77), {1, 0});
    finish(_Wrsn(0x8D0124), {7, 0});
    EXPECT_EQ(model->autostart_app_id(), 77u);
    EXPECT_EQ(model->serial_word() & 0xFFFFFFu, 0x8D0124u);

    run(_ReadInfo, {13, 0});
    EXPECT_EQ(_GetConnectInfo()->serialNumber, 0x8D0124u);
    EXPECT_EQ(_GetConnectInfo()->autostartAppId, 77u);

    ASSERT_EQ(_Reset(), 0);
    ASSERT_TRUE(events.wait_for({10, 0}));
    EXPECT_EQ(_IsConnected(), 0);
}

// Answers that arrive after their command ended (late, or one frame too many)
// are never taken for a later command's answer, which would shift every
// following answer onto the wrong command.
TEST_F(SimulatedDevice, StaleAnswersNeverAnswerALaterCommand) {
    sim::FaultRule extra;
    extra.kind = sim::FaultKind::extra_frames;
    extra.opcode = sim::kAutoStart;
    model->add_fault(extra);
    finish(_AutoStart(0xFFFFFFFFu), {1, 0});
    finish(_Wrsn(0x8D0124), {7, 0});

    sim::FaultRule late;
    late.kind = sim::FaultKind::late_answer;
    late.opcode = sim::kQuery;
    model->add_fault(late);
    ASSERT_EQ(_ReadInfo(), 0);
    ASSERT_TRUE(events.wait_for({13, 1}));
    ASSERT_TRUE(wait_idle());
    events.clear();
    // The late answer arrives with this command's own: it cannot be told
    // apart, but it is the only one this command gets wrong.
    ASSERT_EQ(_AutoStart(0xFFFFFFFFu), 0);
    ASSERT_TRUE(events.wait_for({1, 1}));
    ASSERT_TRUE(wait_idle());
    events.clear();
    finish(_Wrsn(0x8D0125), {7, 0});
    finish(_AutoStart(0xFFFFFFFFu), {1, 0});
}

}  // namespace
}  // namespace velkor::testing
