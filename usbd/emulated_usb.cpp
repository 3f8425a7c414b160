#include "emulated_usb.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velkor::usbd {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

constexpr std::size_t kMaxPacket = 512;
constexpr unsigned kOutEndpoint = 0x01;
constexpr unsigned kInEndpoint = 0x81;

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
    using Clock = std::chrono::steady_clock;

    // A URB and the connection (the open file) it came on: its memory can
    // only be reached while that client is inside an ioctl.
    struct Urb {
        UMockdevIoctlData *data;
        UMockdevIoctlClient *client;
    };
    // A frame due at a time; `held` takes the model's held-back answers then.
    struct Scheduled {
        Clock::time_point due;
        sim::Bytes frame;
        bool held = false;
    };

    std::shared_ptr<sim::DeviceModel> model;
    std::string sysfs_path;  // below /sys
    std::string node;        // /dev/bus/usb/001/NNN
    GObjectPtr<UMockdevIoctlBase> handler{umockdev_ioctl_base_new()};

    std::mutex lock;
    std::condition_variable wake;
    Timing timing;
    std::deque<Scheduled> scheduled;  // by due time
    Clock::time_point last_answer_due{};
    std::deque<sim::Bytes> answers;  // the device has them: each goes with the next IN URB
    std::deque<Urb> waiting_in;      // IN URBs without data yet
    std::deque<Urb> reapable;
    unsigned out_stalls = 0;
    std::optional<std::uint8_t> out_stall_opcode;  // unset: any block
    unsigned in_stalls = 0;
    bool out_halted = false;  // after a stall, until the host clears it
    bool in_halted = false;
    bool gone = false;
    bool stopping = false;
    std::thread clock_thread;

    void start() { clock_thread = std::thread([this] { keep_time(); }); }

    ~Device() {
        {
            std::lock_guard guard(lock);
            stopping = true;
        }
        wake.notify_all();
        if (clock_thread.joinable()) clock_thread.join();
        for (auto &urb : waiting_in) g_object_unref(urb.data);
        for (auto &urb : reapable) g_object_unref(urb.data);
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
            const unsigned address = *reinterpret_cast<unsigned *>(endpoint->data);
            if (address == kOutEndpoint) out_halted = false;
            if (address == kInEndpoint) in_halted = false;
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
        if (urb->type != USBDEVFS_URB_TYPE_BULK || urb->buffer_length < 0) {
            g_object_unref(urb_data);
            return complete(client, -1, EINVAL);
        }
        if ((urb->endpoint & 0x80) == 0) {
            sim::Bytes block;
            if (urb->buffer_length > 0) {
                GObjectPtr<UMockdevIoctlData> buffer(umockdev_ioctl_data_resolve(
                    urb_data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr));
                block.assign(buffer->data, buffer->data + urb->buffer_length);
            }
            if (out_stalls > 0 && stalls_on(block)) {
                --out_stalls;
                out_halted = true;
            }
            if (out_halted) {
                urb->status = -EPIPE;
                urb->actual_length = 0;
            } else {
                answer(block);
                urb->status = 0;
                urb->actual_length = urb->buffer_length;
            }
            reapable.push_back({urb_data, client});
        } else {
            waiting_in.push_back({urb_data, client});
        }
        feed_waiting_in(client);
        return complete(client, 0, 0);
    }

    bool stalls_on(std::span<const std::uint8_t> block) const {
        if (!out_stall_opcode) return true;
        const auto frame = sim::parse_command_frame(block);
        return frame && frame->opcode() == *out_stall_opcode;
    }

    // The model answers at once; the answer leaves when the timing says.
    void answer(const sim::Bytes &block) {
        const sim::Exchange exchange = model->host_block(block);
        const auto now = Clock::now();
        auto due = now + std::chrono::milliseconds(exchange.delay_ms);
        if (timing.answer_after) due += timing.answer_after(block);
        // A device answers in order.
        if (!scheduled.empty()) due = std::max(due, last_answer_due);
        for (std::size_t i = 0; i < exchange.answers.size(); ++i) {
            if (i > 0) due += timing.between_frames;
            schedule({due, exchange.answers[i]});
        }
        if (!exchange.answers.empty()) last_answer_due = due;
        if (exchange.late_after_ms != 0)
            schedule({now + std::chrono::milliseconds(exchange.late_after_ms), {}, true});
    }

    void schedule(Scheduled frame) {
        if (scheduled.empty() && frame.due <= Clock::now()) {
            release(frame);
            return;
        }
        const auto at = std::upper_bound(scheduled.begin(), scheduled.end(), frame.due,
                                         [](Clock::time_point due, const Scheduled &entry) { return due < entry.due; });
        scheduled.insert(at, std::move(frame));
        wake.notify_all();
    }

    void release(const Scheduled &frame) {
        if (!frame.held) {
            split_into_packets(frame.frame);
            return;
        }
        for (const sim::Bytes &late : model->take_held_answers()) split_into_packets(late);
    }

    // The device's clock: frames due go to the USB controller; IN URBs take
    // them at the host's next ioctl, the only time its memory can be written.
    void keep_time() {
        std::unique_lock guard(lock);
        while (!stopping) {
            if (scheduled.empty()) {
                wake.wait(guard);
                continue;
            }
            const auto due = scheduled.front().due;
            if (Clock::now() < due) {
                wake.wait_until(guard, due);
                continue;
            }
            while (!scheduled.empty() && scheduled.front().due <= Clock::now()) {
                release(scheduled.front());
                scheduled.pop_front();
            }
        }
    }

    // An answer longer than one transfer takes comes as several.
    void split_into_packets(const sim::Bytes &answer) {
        if (answer.empty()) return;
        for (std::size_t at = 0; at < answer.size(); at += kMaxPacket)
            answers.emplace_back(answer.begin() + static_cast<long>(at),
                                 answer.begin() + static_cast<long>(std::min(answer.size(), at + kMaxPacket)));
    }

    void feed_waiting_in(UMockdevIoctlClient *client) {
        for (auto it = waiting_in.begin(); it != waiting_in.end();) {
            if (it->client != client) {
                ++it;
                continue;
            }
            auto *urb = reinterpret_cast<usbdevfs_urb *>(it->data->data);
            if (!in_halted && in_stalls > 0) {
                --in_stalls;
                in_halted = true;
            }
            if (in_halted) {
                urb->status = -EPIPE;
                urb->actual_length = 0;
            } else {
                if (answers.empty()) return;
                const sim::Bytes &block = answers.front();
                const std::size_t length = std::min(block.size(), static_cast<std::size_t>(urb->buffer_length));
                if (length > 0) {
                    GObjectPtr<UMockdevIoctlData> buffer(umockdev_ioctl_data_resolve(
                        it->data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr));
                    std::memcpy(buffer->data, block.data(), length);
                }
                urb->actual_length = static_cast<int>(length);
                urb->status = block.size() > length ? -EOVERFLOW : 0;
                answers.pop_front();
            }
            reapable.push_back(*it);
            it = waiting_in.erase(it);
        }
    }

    gboolean reap(UMockdevIoctlClient *client, UMockdevIoctlData *argument) {
        feed_waiting_in(client);
        const auto found =
            std::find_if(reapable.begin(), reapable.end(), [client](const Urb &urb) { return urb.client == client; });
        if (found == reapable.end()) return complete(client, -1, gone ? ENODEV : EAGAIN);
        GObjectPtr<UMockdevIoctlData> urb_data(found->data);
        reapable.erase(found);
        GObjectPtr<UMockdevIoctlData> pointer(umockdev_ioctl_data_resolve(argument, 0, sizeof(gpointer), nullptr));
        umockdev_ioctl_data_set_ptr(pointer.get(), 0, urb_data.get());
        // Completed while the URB's data is still held, so its changes reach libusb.
        return complete(client, 0, 0);
    }

    gboolean discard(UMockdevIoctlClient *client, UMockdevIoctlData *argument) {
        const auto address = *reinterpret_cast<gulong *>(argument->data);
        for (auto it = waiting_in.begin(); it != waiting_in.end(); ++it) {
            if (it->client != client || it->data->client_addr != address) continue;
            reinterpret_cast<usbdevfs_urb *>(it->data->data)->status = -ENOENT;
            reapable.push_back(*it);
            waiting_in.erase(it);
            return complete(client, 0, 0);
        }
        return complete(client, -1, EINVAL);
    }

    void pull() {
        std::lock_guard guard(lock);
        gone = true;
        scheduled.clear();
        answers.clear();
        for (auto &urb : waiting_in) {
            reinterpret_cast<usbdevfs_urb *>(urb.data->data)->status = -ESHUTDOWN;
            reapable.push_back(urb);
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
    device->start();
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

void EmulatedUsb::stall_out(unsigned port, unsigned count, std::optional<std::uint8_t> opcode) {
    auto &device = *plugged_.at(port);
    std::lock_guard guard(device.lock);
    device.out_stalls = count;
    device.out_stall_opcode = opcode;
}

void EmulatedUsb::stall_in(unsigned port, unsigned count) {
    auto &device = *plugged_.at(port);
    std::lock_guard guard(device.lock);
    device.in_stalls = count;
}

void EmulatedUsb::set_timing(unsigned port, Timing timing) {
    auto &device = *plugged_.at(port);
    std::lock_guard guard(device.lock);
    device.timing = std::move(timing);
}

void EmulatedUsb::send_unasked(unsigned port, sim::Bytes frame, std::chrono::microseconds after) {
    auto &device = *plugged_.at(port);
    std::lock_guard guard(device.lock);
    device.schedule({Device::Clock::now() + after, std::move(frame)});
}

std::size_t EmulatedUsb::pending_in_transfers(unsigned port) {
    auto &device = *plugged_.at(port);
    std::lock_guard guard(device.lock);
    return device.waiting_in.size();
}

}  // namespace velkor::usbd
