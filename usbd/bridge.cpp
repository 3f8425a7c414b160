#include "bridge.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "port_name.h"

namespace velkor::usbd {

namespace {

std::string usb_id_text(std::uint16_t vendor, std::uint16_t product) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

}  // namespace

Bridge::Bridge(BridgeSettings settings) : settings_(std::move(settings)) {
    libusb_context *context = nullptr;
    if (const int code = libusb_init(&context); code != 0)
        throw std::runtime_error(std::string("libusb cannot start: ") + libusb_error_name(code));
    context_.reset(context);
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) throw std::runtime_error("libusb has no hotplug support here");
    // Hotplug callbacks run on the event thread, which must not wait for
    // transfers: they hand each plug to the plug thread. The devices present
    // now are handed over while the callbacks are registered.
    for (const DeviceSelector &selector : settings_.devices) {
        libusb_hotplug_callback_handle handle = 0;
        const int code = libusb_hotplug_register_callback(
            context_.get(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, selector.vendor, selector.product, LIBUSB_HOTPLUG_MATCH_ANY, &Bridge::on_hotplug,
            this, &handle);
        if (code != 0) {
            for (const auto registered : callbacks_) libusb_hotplug_deregister_callback(context_.get(), registered);
            throw std::runtime_error(std::string("cannot watch for devices: ") + libusb_error_name(code));
        }
        callbacks_.push_back(handle);
    }
    plug_thread_ = std::thread([this] { handle_plugs(); });
    event_thread_ = std::thread([this] { handle_events(); });
}

Bridge::~Bridge() {
    for (const auto handle : callbacks_) libusb_hotplug_deregister_callback(context_.get(), handle);
    callbacks_.clear();
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        plugs_.clear();
    }
    plugged_.notify_all();
    if (plug_thread_.joinable()) plug_thread_.join();
    // Devices close before the event thread ends: their transfers may need it.
    served_.clear();
    stop_events_ = true;
    libusb_interrupt_event_handler(context_.get());
    event_thread_.join();
}

std::vector<std::string> Bridge::endpoints() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> names;
    for (const auto &[device, served] : served_)
        if (served.bridged->serving()) names.push_back(served.bridged->name());
    std::sort(names.begin(), names.end());
    return names;
}

int LIBUSB_CALL Bridge::on_hotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event, void *self) {
    static_cast<Bridge *>(self)->hand_over(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, device);
    return 0;
}

void Bridge::hand_over(bool arrived, libusb_device *device) {
    {
        std::lock_guard guard(lock_);
        if (stopping_) return;
        plugs_.push_back({arrived, DeviceRef(libusb_ref_device(device))});
    }
    plugged_.notify_all();
}

void Bridge::handle_events() {
    while (!stop_events_) libusb_handle_events_completed(context_.get(), nullptr);
}

void Bridge::handle_plugs() {
    std::unique_lock guard(lock_);
    for (;;) {
        plugged_.wait(guard, [this] { return stopping_ || !plugs_.empty(); });
        if (stopping_) return;
        Plug plug = std::move(plugs_.front());
        plugs_.pop_front();
        guard.unlock();
        if (plug.arrived)
            arrived(plug.device.get());
        else
            left(plug.device.get());
        guard.lock();
    }
}

void Bridge::arrived(libusb_device *device) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    const std::string id = usb_id_text(descriptor.idVendor, descriptor.idProduct);
    if (depth <= 0) {
        log("device " + id + " at bus " + std::to_string(libusb_get_bus_number(device)) +
            " has no port path; not served");
        return;
    }
    const std::string name =
        port_endpoint_name(libusb_get_bus_number(device), std::span(ports, static_cast<std::size_t>(depth)));
    const auto selector = std::find_if(settings_.devices.begin(), settings_.devices.end(), [&](const DeviceSelector &s) {
        return s.vendor == descriptor.idVendor && s.product == descriptor.idProduct;
    });
    if (selector == settings_.devices.end()) return;
    try {
        auto link = std::make_unique<UsbLink>(device, *selector);
        auto endpoint = sim::open_endpoint(settings_.dir, name);
        log(name + ": device " + id + " served on " + endpoint->address());
        // A transfer finds a device gone before the hotplug event says so.
        auto bridged = std::make_unique<BridgedDevice>(name, std::move(link), std::move(endpoint), settings_.serve,
                                                       [this, device] { hand_over(false, device); });
        std::lock_guard guard(lock_);
        served_[device] = {DeviceRef(libusb_ref_device(device)), std::move(bridged)};
    } catch (const std::exception &e) {
        log(name + ": device " + id + " not served: " + e.what());
    }
}

void Bridge::left(libusb_device *device) {
    std::unique_ptr<BridgedDevice> gone;
    {
        std::lock_guard guard(lock_);
        const auto found = served_.find(device);
        if (found == served_.end()) return;
        gone = std::move(found->second.bridged);
        served_.erase(found);
    }
    const std::string name = gone->name();
    gone.reset();
    log(name + ": device gone, endpoint removed");
}

void Bridge::log(const std::string &line) const {
    if (settings_.serve.log) settings_.serve.log(line);
}

}  // namespace velkor::usbd
