// Windows: the system's list of a class's interfaces (SetupDi), and the
// named pipes of the socket transport.
#include "platform/interface_list.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace velkor::platform {

namespace {

constexpr const char *kPipeDirectory = "\\\\.\\pipe\\";
constexpr const char *kDeviceLocationVariable = "VELKOR_USB_DIR";
// drova-sim names its devices drova00, drova01, ...: as many as a host bench has.
constexpr int kProbedDaemonEndpoints = 16;

class DeviceInfoList {
public:
    explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
    ~DeviceInfoList() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoList(const DeviceInfoList &) = delete;
    DeviceInfoList &operator=(const DeviceInfoList &) = delete;
    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

std::string pipe_path(const std::string &name) { return kPipeDirectory + name; }

bool pipe_exists(const std::string &path) {
    // A pipe whose instances are all busy exists as well.
    return WaitNamedPipeA(path.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT;
}

// In name order, as a listing would give them.
const std::vector<std::string> &probed_endpoint_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (char digit = '0'; digit <= '9'; ++digit) all.emplace_back(1, digit);
        for (int number = 0; number < kProbedDaemonEndpoints; ++number)
            all.push_back("drova" + std::string(number < 10 ? "0" : "") + std::to_string(number));
        return all;
    }();
    return names;
}

}  // namespace

PathLookup class_interface_path(const InterfaceClassGuid &interface_class, std::uint32_t member, std::string &path) {
    GUID guid;
    static_assert(sizeof guid == sizeof interface_class);
    std::memcpy(&guid, &interface_class, sizeof guid);
    DeviceInfoList list(SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list.valid()) return PathLookup::list_failed;
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &guid, member, &interface_data))
        return PathLookup::no_interface;

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(list.get(), &interface_data, nullptr, 0, &required, nullptr);
    constexpr DWORD kFixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (required <= kFixedPart) return PathLookup::list_failed;
    std::unique_ptr<std::uint8_t[]> record(new (std::nothrow) std::uint8_t[required]);
    if (!record) return PathLookup::list_failed;
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(record.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(list.get(), &interface_data, detail, required, nullptr, nullptr))
        return PathLookup::list_failed;
    path.assign(detail->DevicePath, strnlen(detail->DevicePath, required - kFixedPart));
    return PathLookup::found;
}

// From the process environment, not the C runtime's copy of it: a host may
// set the variable with SetEnvironmentVariableA or through a runtime of its own.
std::optional<std::string> socket_device_location() {
    std::string value;
    DWORD needed = GetEnvironmentVariableA(kDeviceLocationVariable, nullptr, 0);
    while (needed > 0) {
        value.resize(needed);
        const DWORD got = GetEnvironmentVariableA(kDeviceLocationVariable, value.data(), needed);
        if (got < needed) {
            value.resize(got);  // 0 when removed meanwhile
            break;
        }
        needed = got;  // grown meanwhile
    }
    if (value.empty()) return std::nullopt;
    return value;
}

std::optional<std::vector<std::string>> list_device_endpoints(const std::string &prefix) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((std::string(kPipeDirectory) + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return names;
        if (error != ERROR_BAD_DEV_TYPE) return std::nullopt;
        // This system cannot list its pipes (Wine): only the usual names are
        // found, the prefix with one digit or with the daemon's "drovaNN".
        for (const std::string &name : probed_endpoint_names()) {
            const std::string path = pipe_path(prefix + name);
            if (pipe_exists(path)) names.push_back(path);
        }
        return names;
    }
    do {
        if (_strnicmp(found.cFileName, prefix.c_str(), prefix.size()) == 0) names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (auto &name : names) name = pipe_path(name);
    return names;
}

}  // namespace velkor::platform
