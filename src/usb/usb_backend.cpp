#include "usb/usb_backend.h"

#include <mutex>

#include "usb/in_process_backend.h"
#include "usb/socket_backend.h"

namespace velkor::usb {

namespace {
std::mutex installed_lock;
std::shared_ptr<platform::UsbBackend> installed;
}  // namespace

void install_usb_backend(std::shared_ptr<platform::UsbBackend> backend) {
    std::lock_guard guard(installed_lock);
    installed = std::move(backend);
}

std::shared_ptr<platform::UsbBackend> select_usb_backend() {
    {
        std::lock_guard guard(installed_lock);
        if (installed) return installed;
    }
    if (in_process_backend_active()) return in_process_backend();
    if (auto location = platform::socket_device_location()) return make_socket_backend(std::move(*location));
    platform::UsbBackend *device = platform::device_backend();
    if (device == nullptr) return nullptr;
    return std::shared_ptr<platform::UsbBackend>(std::shared_ptr<platform::UsbBackend>{}, device);
}

}  // namespace velkor::usb
