// What drova needs from the OS besides loading the library: where it runs
// from, its environment, whether output goes to a terminal, and child
// processes (the simulator daemon, a program run beside it). One
// implementation per OS (os_services_posix.cpp, os_services_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace drova {

class ProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::filesystem::path executable_path();
// The name of a program file on this OS ("drova-sim" / "drova-sim.exe").
std::string program_file_name(const std::string &stem);
// A null value removes the variable.
void set_environment(const char *name, const char *value);
bool is_terminal(std::FILE *stream);
// Where the library looks for devices, in words for a user whose search found
// none: VELKOR_USB_DIR's place, or the system's own (with what serves it).
std::string device_search_place();
// Standard input reads bytes as they are (no CRLF translation on Windows).
void use_binary_standard_input();

// A place for the endpoints of drova-sim's devices that nothing else uses: a
// new temporary directory (POSIX, removed with its contents at the end) or a
// named-pipe prefix unique to this process (Windows).
class ScratchLocation {
public:
    ScratchLocation();
    ~ScratchLocation();
    ScratchLocation(const ScratchLocation &) = delete;
    ScratchLocation &operator=(const ScratchLocation &) = delete;
    // drova-sim's --dir, and VELKOR_USB_DIR for the library.
    const std::string &value() const { return value_; }

private:
    std::string value_;
};

class ChildProcess {
public:
    // Starts `program` with `arguments`. With `capture_output` its standard
    // output comes through read_output(); otherwise it shares drova's. A
    // `bound` child ends when drova ends, however drova ends. Throws
    // ProcessError when the program cannot be started.
    ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments, bool capture_output,
                 bool bound);
    // Stops the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Blocks for output; 0 at its end.
    std::size_t read_output(char *buffer, std::size_t size);
    // Asks the child to stop (SIGTERM; on Windows it is ended at once).
    void stop();
    // Waits for the end; the exit status, or 128 + the signal that ended it.
    int wait();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace drova
