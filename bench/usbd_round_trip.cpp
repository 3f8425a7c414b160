// The bridge's cost per exchange: microseconds per 512-byte round trip (a
// host frame out, the device's answer back, the end message) to drova-sim in
// another process, and through drova-usbd's core to a USB device emulated by
// umockdev. Runs under umockdev-wrapper (see docs/performance.md).
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "emulated_usb.h"
#include "harness.h"
#include "wire.h"

namespace {

using namespace velkor;
using namespace std::chrono_literals;

std::string scratch_dir(const char *name) {
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// Round trips of a keep-alive frame, which the device answers whether or not
// a host holds it; microseconds per round trip.
double round_trip_us(const std::string &endpoint, int rounds) {
    bench::BareSocket host(endpoint);
    const std::vector<bench::Frame> warm_up(20, sim::make_command_frame(sim::Bytes{sim::kKeepAlive}));
    host.replay(warm_up);
    const std::vector<bench::Frame> frames(static_cast<std::size_t>(rounds), warm_up.front());
    return std::chrono::duration<double, std::micro>(host.replay(frames).wall).count() / rounds;
}

double bridged_round_trip_us(std::chrono::milliseconds gap, int rounds) {
    const std::string dir = scratch_dir("usbd-bench");
    usbd::EmulatedUsb bus;
    bus.plug(1, std::make_shared<sim::DeviceModel>(bench::bench_device_config()));
    usbd::BridgeSettings settings;
    settings.dir = dir;
    usbd::DeviceSelector emulated;
    emulated.vendor = usbd::EmulatedUsb::kVendor;
    emulated.product = usbd::EmulatedUsb::kProduct;
    settings.devices = {emulated};
    settings.serve.periods.gap = gap;
    usbd::Bridge bridge(std::move(settings));
    const std::string endpoint = dir + "/usb-1-1";
    for (int i = 0; i < 500 && !std::filesystem::exists(endpoint); ++i) std::this_thread::sleep_for(10ms);
    const double us = round_trip_us(endpoint, rounds);
    std::filesystem::remove_all(dir);
    return us;
}

}  // namespace

int main() {
    if (!usbd::EmulatedUsb::available()) {
        std::fprintf(stderr, "usbd_bench: run it under umockdev-wrapper\n");
        return 2;
    }
    try {
        std::printf("us per 512-byte round trip (frame out, one answer, end message)\n");
        {
            const std::string dir = scratch_dir("sim-bench");
            const bench::DrovaSimProcess daemon(dir);
            std::printf("  drova-sim, socket device in another process   %10.1f\n", round_trip_us(daemon.endpoint(), 5000));
        }
        std::printf("  drova-usbd, emulated USB device, gap 20 ms    %10.1f\n", bridged_round_trip_us(20ms, 100));
        std::printf("  drova-usbd, emulated USB device, gap 1 ms     %10.1f\n", bridged_round_trip_us(1ms, 1000));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "usbd_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
