#include "driver_fixture.h"

#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace velkor::driver_test {

namespace {

using namespace std::chrono_literals;

constexpr GUID kInterfaceClass = {0x8d96c3f0, 0x627c, 0x490d, {0xba, 0xa2, 0x3f, 0x7d, 0x1d, 0x78, 0x9f, 0x3d}};
constexpr GUID kNoClass = {};
constexpr char kInstancePrefix[] = "ROOT\\VID_FFFF&PID_FFFF\\";
constexpr char kService[] = "drovatst";
// The INF names the common id; each device has one of its own besides, so
// that one install call reaches that device alone.
constexpr char kCommonHardwareId[] = "DROVA_TEST";
constexpr auto kInterfaceWait = 5s;
constexpr int kInstallAttempts = 4;

std::string own_hardware_id(int number) {
    char id[32];
    std::snprintf(id, sizeof id, "%s\\%02d", kCommonHardwareId, number);
    return id;
}

std::string instance_of(HDEVINFO set, SP_DEVINFO_DATA &device) {
    char id[200] = {};  // MAX_DEVICE_ID_LEN
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) return {};
    return id;
}

bool remove_device(HDEVINFO set, SP_DEVINFO_DATA &device) {
    return SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
}

bool set_pipe_value(HDEVINFO set, SP_DEVINFO_DATA &device, const std::string &pipe) {
    HKEY key = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) return false;
    const LONG set_value = RegSetValueExA(key, "DevicePipe", 0, REG_SZ, reinterpret_cast<const BYTE *>(pipe.c_str()),
                                          static_cast<DWORD>(pipe.size() + 1));
    RegCloseKey(key);
    return set_value == ERROR_SUCCESS;
}

// Each present interface of the class with the device instance it belongs to.
std::vector<std::pair<std::string, std::string>> present_interfaces() {
    std::vector<std::pair<std::string, std::string>> found;
    HDEVINFO list = SetupDiGetClassDevsA(&kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return found;
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    for (DWORD member = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &kInterfaceClass, member, &interface_data);
         ++member) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char bytes[1024];
        } record{};
        record.detail.cbSize = sizeof record.detail;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailA(list, &interface_data, &record.detail, sizeof record, nullptr, &device))
            continue;
        found.emplace_back(record.detail.DevicePath, instance_of(list, device));
    }
    SetupDiDestroyDeviceInfoList(list);
    return found;
}

std::string full_path(const std::string &path) {
    char full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full) : path;
}

}  // namespace

struct TestDevices::Installed {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device{};
    ~Installed() {
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    }
};

TestDevices::TestDevices(std::string driver_dir) : inf_path_(full_path(driver_dir + "\\drovatst.inf")) {}

TestDevices::~TestDevices() {
    for (auto &[number, installed] : installed_) remove_device(installed->set, installed->device);
    installed_.clear();
    // Nothing of the driver stays in the prefix: its service, its image, the INF.
    if (SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)) {
        if (SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_STOP | DELETE)) {
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    char installed_inf[MAX_PATH] = {};
    char *file_part = nullptr;
    if (SetupCopyOEMInfA(inf_path_.c_str(), nullptr, SPOST_NONE, 0, installed_inf, sizeof installed_inf, nullptr,
                         &file_part) &&
        file_part != nullptr) {
        SetupUninstallOEMInfA(file_part, SUOI_FORCEDELETE, nullptr);
        // Its precompiled form stays behind otherwise.
        std::string compiled = installed_inf;
        if (compiled.size() > 4) DeleteFileA(compiled.replace(compiled.size() - 4, 4, ".pnf").c_str());
    }
    // The class's key, empty once its interfaces have gone (a key with
    // subkeys is not deleted).
    RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                  "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{8d96c3f0-627c-490d-baa2-3f7d1d789f3d}");
    char system_dir[MAX_PATH] = {};
    if (GetSystemDirectoryA(system_dir, sizeof system_dir) > 0)
        DeleteFileA((std::string(system_dir) + "\\drivers\\drovatst.sys").c_str());
}

int TestDevices::remove_leftovers() {
    int removed = 0;
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (all == INVALID_HANDLE_VALUE) return 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(all, index, &device); ++index) {
        const std::string id = instance_of(all, device);
        if (_strnicmp(id.c_str(), kInstancePrefix, sizeof kInstancePrefix - 1) == 0 && remove_device(all, device))
            ++removed;
    }
    SetupDiDestroyDeviceInfoList(all);
    return removed;
}

std::string TestDevices::instance_id(int number) {
    char id[64];
    std::snprintf(id, sizeof id, "%s%04d", kInstancePrefix, number);
    return id;
}

std::optional<std::string> TestDevices::install(int number, const std::string &pipe) {
    if (installed_.count(number) != 0) return "device " + std::to_string(number) + " is installed already";
    const std::string id = instance_id(number);
    const std::string own_id = own_hardware_id(number);
    std::string ids = own_id + '\0' + kCommonHardwareId + '\0' + '\0';
    std::string problem;
    // The first install in a freshly booted prefix can find the driver's
    // service not ready: the device is removed and installed again.
    for (int attempt = 1; attempt <= kInstallAttempts; ++attempt) {
        auto installed = std::make_unique<Installed>();
        installed->set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        installed->device.cbSize = sizeof installed->device;
        if (installed->set == INVALID_HANDLE_VALUE ||
            !SetupDiCreateDeviceInfoA(installed->set, id.c_str(), &kNoClass, nullptr, nullptr, 0, &installed->device))
            return "cannot create " + id + ": error " + std::to_string(GetLastError());
        if (!SetupDiSetDeviceRegistryPropertyA(installed->set, &installed->device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE *>(ids.data()),
                                               static_cast<DWORD>(ids.size())) ||
            !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, installed->set, &installed->device))
            return "cannot register " + id + ": error " + std::to_string(GetLastError());
        BOOL reboot = FALSE;
        if (!set_pipe_value(installed->set, installed->device, pipe)) {
            problem = "cannot write the pipe name of " + id;
        } else if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, own_id.c_str(), inf_path_.c_str(), INSTALLFLAG_FORCE,
                                                       &reboot)) {
            problem = "cannot install the driver for " + id + ": error " + std::to_string(GetLastError());
        } else {
            installed_.emplace(number, std::move(installed));
            const auto deadline = std::chrono::steady_clock::now() + kInterfaceWait;
            while (std::chrono::steady_clock::now() < deadline) {
                if (!interface_path(number).empty()) return std::nullopt;
                std::this_thread::sleep_for(20ms);
            }
            installed = std::move(installed_[number]);
            installed_.erase(number);
            problem = "no interface for " + id + " within " + std::to_string(kInterfaceWait.count()) + " s";
        }
        remove_device(installed->set, installed->device);
        std::this_thread::sleep_for(1s);
    }
    return problem + " (" + std::to_string(kInstallAttempts) + " attempts)";
}

bool TestDevices::remove(int number) {
    const auto found = installed_.find(number);
    if (found == installed_.end()) return false;
    const bool removed = remove_device(found->second->set, found->second->device);
    installed_.erase(found);
    return removed;
}

bool TestDevices::point_at(int number, const std::string &pipe) {
    const auto found = installed_.find(number);
    return found != installed_.end() && set_pipe_value(found->second->set, found->second->device, pipe);
}

std::vector<std::string> TestDevices::listed_paths() {
    std::vector<std::string> paths;
    for (auto &[path, instance] : present_interfaces()) paths.push_back(path);
    return paths;
}

std::string TestDevices::interface_path(int number) const {
    const std::string id = instance_id(number);
    for (auto &[path, instance] : present_interfaces())
        if (_stricmp(instance.c_str(), id.c_str()) == 0) return path;
    return {};
}

}  // namespace velkor::driver_test
