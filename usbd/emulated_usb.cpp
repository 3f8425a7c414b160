#include "emulated_usb.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace velkor::usbd {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

constexpr std::size_t kMaxPacket = 512;
constexpr unsigned kOutEndpoint = 0x01;

// The descriptors file of the device's sysfs entry: device descriptor, then
// one configuration with one vendor interface and its bulk OUT (0x01) and
// bulk IN (0x81) endpoints of 512-byte packets, at high speed.
std::string descriptors_hex(std::uint16_t vendor, std::uint16_t product) {
    const auto low = [](std::uint16_t word) { return static_cast<std::uint8_t>(word & 0xFF); };
    const auto high = [](std::uint16_t word) { return static_cast<std::uint8_t>(word >> 8); };
    const std::uint8_t bytes[] = {
        0x12, 0x01, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x40, low(vendor), high(vendor), low(product), high(product),
        0x00, 0x01, 0x00, 0x00, 0x00, 0x01,                //
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration 1
        0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0
        0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,              // bulk OUT
        0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,              // bulk IN
    };
    std::string hex;
    char digits[3];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

}  // namespace

struct EmulatedUsb::Testbed {
    GObjectPtr<UMockdevTestbed> bed{umockdev_testbed_new()};
};

struct EmulatedUsb::Device {
    std::shared_ptr<sim::DeviceModel> model;
    std::string sysfs_path;  // below /sys
    std::string node;        // /dev/bus/usb/001/NNN
    GObjectPtr<UMockdevIoctlBase> handler{umockdev_ioctl_base_new()};

    std::mutex lock;
    std::deque<sim::Bytes> answers;
    std::deque<UMockdevIoctlData *> waiting_in;  // IN URBs without data yet
    std::deque<UMockdevIoctlData *> reapable;
    unsigned stalls = 0;
    bool out_halted = false;  // after a stall, until the host clears it
    bool gone = false;

    ~Device() {
        for (auto *urb : waiting_in) g_object_unref(urb);
        for (auto *urb : reapable) g_object_unref(urb);
    }

    static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        return static_cast<Device *>(self)->handle(client);
    }

    gboolean handle(UMockdevIoctlClient *client) {
        UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
        std::lock_guard guard(lock);
        switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_GET_CAPABILITIES: {
            GObjectPtr<UMockdevIoctlData> capabilities(umockdev_ioctl_data_resolve(argument, 0, sizeof(guint32), nullptr));
            *reinterpret_cast<guint32 *>(capabilities->data) =
                USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            return complete(client, 0, 0);
        }
        case USBDEVFS_CLEAR_HALT: {
            GObjectPtr<UMockdevIoctlData> endpoint(umockdev_ioctl_data_resolve(argument, 0, sizeof(unsigned), nullptr));
            if (*reinterpret_cast<unsigned *>(endpoint->data) == kOutEndpoint) out_halted = false;
            return gone ? complete(client, -1, ENODEV) : complete(client, 0, 0);
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_RESETEP:
            return gone ? complete(client, -1, ENODEV) : complete(client, 0, 0);
        case USBDEVFS_IOCTL:  // asks for the kernel driver bound: none
            return complete(client, -1, ENODATA);
        case USBDEVFS_SUBMITURB: return submit(client, argument);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: return reap(client, argument);
        case USBDEVFS_DISCARDURB: return discard(client, argument);
        default: return FALSE;
        }
    }

    gboolean complete(UMockdevIoctlClient *client, long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }

    gboolean submit(UMockdevIoctlClient *client, UMockdevIoctlData *argument) {
        if (gone) return complete(client, -1, ENODEV);
        UMockdevIoctlData *urb_data = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr);
        auto *urb = reinterpret_cast<usbdevfs_urb *>(urb_data->data);
        if (urb->type != USBDEVFS_URB_TYPE_BULK) {
            g_object_unref(urb_data);
            return complete(client, -1, EINVAL);
        }
        if ((urb->endpoint & 0x80) == 0) {
            GObjectPtr<UMockdevIoctlData> buffer(umockdev_ioctl_data_resolve(
                urb_data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr));
            if (stalls > 0) {
                --stalls;
                out_halted = true;
            }
            if (out_halted) {
                urb->status = -EPIPE;
                urb->actual_length = 0;
            } else {
                const sim::Bytes block(buffer->data, buffer->data + urb->buffer_length);
                for (auto &answer : model->host_block(block).answers) split_into_packets(answer);
                urb->status = 0;
                urb->actual_length = urb->buffer_length;
            }
            reapable.push_back(urb_data);
        } else {
            waiting_in.push_back(urb_data);
        }
        feed_waiting_in();
        return complete(client, 0, 0);
    }

    // An answer longer than one transfer takes comes as several.
    void split_into_packets(const sim::Bytes &answer) {
        for (std::size_t at = 0; at < answer.size(); at += kMaxPacket)
            answers.emplace_back(answer.begin() + static_cast<long>(at),
                                 answer.begin() + static_cast<long>(std::min(answer.size(), at + kMaxPacket)));
    }

    void feed_waiting_in() {
        while (!waiting_in.empty() && !answers.empty()) {
            UMockdevIoctlData *urb_data = waiting_in.front();
            waiting_in.pop_front();
            auto *urb = reinterpret_cast<usbdevfs_urb *>(urb_data->data);
            GObjectPtr<UMockdevIoctlData> buffer(umockdev_ioctl_data_resolve(
                urb_data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr));
            const sim::Bytes &answer = answers.front();
            const std::size_t length = std::min(answer.size(), static_cast<std::size_t>(urb->buffer_length));
            std::memcpy(buffer->data, answer.data(), length);
            urb->actual_length = static_cast<int>(length);
            urb->status = 0;
            answers.pop_front();
            reapable.push_back(urb_data);
        }
    }

    gboolean reap(UMockdevIoctlClient *client, UMockdevIoctlData *argument) {
        if (reapable.empty()) return complete(client, -1, gone ? ENODEV : EAGAIN);
        GObjectPtr<UMockdevIoctlData> urb_data(reapable.front());
        reapable.pop_front();
        GObjectPtr<UMockdevIoctlData> pointer(umockdev_ioctl_data_resolve(argument, 0, sizeof(gpointer), nullptr));
        umockdev_ioctl_data_set_ptr(pointer.get(), 0, urb_data.get());
        // Completed while the URB's data is still held, so its changes reach libusb.
        return complete(client, 0, 0);
    }

    gboolean discard(UMockdevIoctlClient *client, UMockdevIoctlData *argument) {
        const auto address = *reinterpret_cast<gulong *>(argument->data);
        for (auto it = waiting_in.begin(); it != waiting_in.end(); ++it) {
            if ((*it)->client_addr != address) continue;
            reinterpret_cast<usbdevfs_urb *>((*it)->data)->status = -ENOENT;
            reapable.push_back(*it);
            waiting_in.erase(it);
            return complete(client, 0, 0);
        }
        return complete(client, -1, EINVAL);
    }

    void pull() {
        std::lock_guard guard(lock);
        gone = true;
        for (auto *urb_data : waiting_in) {
            reinterpret_cast<usbdevfs_urb *>(urb_data->data)->status = -ESHUTDOWN;
            reapable.push_back(urb_data);
        }
        waiting_in.clear();
    }
};

bool EmulatedUsb::available() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

EmulatedUsb::EmulatedUsb() : testbed_(std::make_unique<Testbed>()) {}

EmulatedUsb::~EmulatedUsb() {
    for (auto &[port, device] : plugged_) umockdev_testbed_detach_ioctl(testbed_->bed.get(), device->node.c_str(), nullptr);
    for (auto &device : pulled_) umockdev_testbed_detach_ioctl(testbed_->bed.get(), device->node.c_str(), nullptr);
}

void EmulatedUsb::plug(unsigned port, std::shared_ptr<sim::DeviceModel> model) {
    auto device = std::make_shared<Device>();
    device->model = std::move(model);
    const unsigned address = next_address_++;
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/001/%03u", address);
    device->node = std::string("/dev/") + node;
    device->sysfs_path = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
    g_signal_connect(device->handler.get(), "handle-ioctl", G_CALLBACK(&Device::on_ioctl), device.get());
    // The handler first: the bridge opens the node as soon as the device appears.
    if (!umockdev_testbed_attach_ioctl(testbed_->bed.get(), device->node.c_str(), device->handler.get(), nullptr))
        throw std::runtime_error("umockdev cannot emulate " + device->node);
    const std::string description = "P: " + device->sysfs_path + "\nN: " + node +
                                    "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" +
                                    std::to_string(address) + "\nE: DEVNAME=" + device->node +
                                    "\nA: busnum=1\\n\nA: devnum=" + std::to_string(address) +
                                    "\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\nH: descriptors=" +
                                    descriptors_hex(kVendor, kProduct) + "\n";
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_->bed.get(), description.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot add a device: " + message);
    }
    plugged_[port] = std::move(device);
}

void EmulatedUsb::unplug(unsigned port) {
    const auto found = plugged_.find(port);
    if (found == plugged_.end()) return;
    auto device = std::move(found->second);
    plugged_.erase(found);
    device->pull();
    const std::string sysfs = "/sys" + device->sysfs_path;
    umockdev_testbed_uevent(testbed_->bed.get(), sysfs.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_->bed.get(), sysfs.c_str());
    pulled_.push_back(std::move(device));
}

void EmulatedUsb::stall_out(unsigned port, unsigned count) {
    auto &device = *plugged_.at(port);
    std::lock_guard guard(device.lock);
    device.stalls = count;
}

}  // namespace velkor::usbd
