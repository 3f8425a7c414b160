// Devices of the DROVA test driver, installed in the running Wine prefix:
// root-enumerated devices ROOT\VID_FFFF&PID_FFFF\000n whose interface of the
// DROVA class forwards every frame to a device process on a named pipe.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velkor::driver_test {

class TestDevices {
public:
    // `driver_dir` holds drovatst.sys and drovatst.inf.
    explicit TestDevices(std::string driver_dir);
    // Removes every device still installed, then the driver's service, its
    // copy in the system folder and the installed INF.
    ~TestDevices();
    TestDevices(const TestDevices &) = delete;
    TestDevices &operator=(const TestDevices &) = delete;

    // Removes the test devices an earlier run left behind (one that crashed).
    // Their number.
    int remove_leftovers();

    // Installs device `number` with its link to the pipe \\.\pipe\<pipe> and
    // waits for its interface. A reason when it did not come.
    std::optional<std::string> install(int number, const std::string &pipe);
    // Removes it, as if it were pulled out (open handles stay open).
    bool remove(int number);
    // Where the device's next opened link goes.
    bool point_at(int number, const std::string &pipe);

    // The present interfaces of the DROVA class as SetupDi lists them, in order.
    static std::vector<std::string> listed_paths();
    // The interface path of an installed device; empty when it has none.
    std::string interface_path(int number) const;
    static std::string instance_id(int number);

private:
    struct Installed;
    std::string inf_path_;
    std::map<int, std::unique_ptr<Installed>> installed_;
};

}  // namespace velkor::driver_test
