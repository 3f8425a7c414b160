// The bridge: finds the configured USB devices through libusb hotplug events
// and serves each one on its own endpoint in the device directory, named by
// the port it is plugged into. A device that appears gets its endpoint, one
// that goes away loses it.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridged_device.h"
#include "device_selector.h"

namespace velkor::usbd {

struct BridgeSettings {
    std::string dir;  // the device directory
    std::vector<DeviceSelector> devices;
    ServeOptions serve;
};

class Bridge {
public:
    // Serves the devices present now and those plugged in later. Throws
    // std::runtime_error when libusb cannot start or has no hotplug support.
    explicit Bridge(BridgeSettings settings);
    // Removes every endpoint.
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // The endpoint names served now, sorted.
    std::vector<std::string> endpoints() const;

private:
    struct ContextExit {
        void operator()(libusb_context *context) const { libusb_exit(context); }
    };
    struct DeviceUnref {
        void operator()(libusb_device *device) const { libusb_unref_device(device); }
    };
    using DeviceRef = std::unique_ptr<libusb_device, DeviceUnref>;
    struct Plug {
        bool arrived;
        DeviceRef device;
    };
    struct Served {
        DeviceRef device;  // kept while served, so its address names no other device
        std::unique_ptr<BridgedDevice> bridged;
    };

    static int LIBUSB_CALL on_hotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event, void *self);
    // To the plug thread; ignored once stopping.
    void hand_over(bool arrived, libusb_device *device);
    void handle_events();
    void handle_plugs();
    void arrived(libusb_device *device);
    void left(libusb_device *device);
    void log(const std::string &line) const;

    const BridgeSettings settings_;
    std::unique_ptr<libusb_context, ContextExit> context_;
    std::vector<libusb_hotplug_callback_handle> callbacks_;

    mutable std::mutex lock_;
    std::condition_variable plugged_;
    std::deque<Plug> plugs_;
    bool stopping_ = false;
    // By the libusb device that arrived; only the plug thread changes it.
    std::map<libusb_device *, Served> served_;

    std::atomic<bool> stop_events_{false};
    std::thread event_thread_;
    std::thread plug_thread_;
};

}  // namespace velkor::usbd
