#include "platform/device_endpoint.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/usb_driver_posix.h"

namespace velkor::platform {

struct DeviceEndpoint::Impl {
    std::string path;
    int fd = -1;
};

namespace {
[[noreturn]] void fail(const char *what) { throw std::system_error(errno, std::generic_category(), what); }
}  // namespace

DeviceEndpoint::DeviceEndpoint(const std::string &location, const std::string &name)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = location.ends_with('/') ? location + name : location + '/' + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (impl_->path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        fail("device endpoint path");
    }
    std::memcpy(address.sun_path, impl_->path.c_str(), impl_->path.size() + 1);
    // A socket left behind by an earlier run is taken over.
    struct stat info {};
    if (::stat(impl_->path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) ::unlink(impl_->path.c_str());
    impl_->fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (impl_->fd < 0) fail("socket");
    if (::bind(impl_->fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(impl_->fd, 4) != 0) {
        const int error = errno;
        ::close(impl_->fd);
        errno = error;
        fail("bind/listen");
    }
}

DeviceEndpoint::~DeviceEndpoint() {
    ::close(impl_->fd);
    ::unlink(impl_->path.c_str());
}

std::unique_ptr<MessageChannel> DeviceEndpoint::accept(std::uint32_t wait_ms) {
    pollfd watch{impl_->fd, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(wait_ms)) <= 0) return nullptr;
    const int fd = ::accept4(impl_->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    return adopt_seqpacket_socket(fd);
}

const std::string &DeviceEndpoint::path() const { return impl_->path; }

ScratchDeviceLocation::ScratchDeviceLocation() {
    const char *temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/velkor-usb-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    value_ = pattern;
}

ScratchDeviceLocation::~ScratchDeviceLocation() {
    std::error_code ignored;
    std::filesystem::remove_all(value_, ignored);
}

void set_device_location(const char *location) {
    if (location != nullptr)
        ::setenv("VELKOR_USB_DIR", location, 1);
    else
        ::unsetenv("VELKOR_USB_DIR");
}

}  // namespace velkor::platform
