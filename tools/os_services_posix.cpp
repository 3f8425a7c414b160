#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "os_services.h"

namespace drova {
namespace {

std::string reason(int error) { return std::strerror(error); }

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::filesystem::path executable_path() { return std::filesystem::read_symlink("/proc/self/exe"); }

std::string program_file_name(const std::string &stem) { return stem; }

void set_environment(const char *name, const char *value) {
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

bool is_terminal(std::FILE *stream) { return ::isatty(::fileno(stream)) == 1; }

std::string device_search_place() {
    const char *location = std::getenv("VELKOR_USB_DIR");
    if (location != nullptr && *location != '\0') return std::string("the endpoints in ") + location + " (VELKOR_USB_DIR)";
    // The library's own default, which drova-usbd serves USB devices into.
    return "the endpoints in /run/velkor/usb, where drova-usbd serves the USB devices it bridges: is drova-usbd "
           "running and the device plugged in? (usbd/README.md)";
}

void use_binary_standard_input() {}

ScratchLocation::ScratchLocation() {
    const char *temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/drova-usb-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw ProcessError("cannot create a directory in " + pattern + ": " + reason(errno));
    value_ = pattern;
}

ScratchLocation::~ScratchLocation() {
    std::error_code ignored;
    std::filesystem::remove_all(value_, ignored);
}

struct ChildProcess::Impl {
    pid_t pid = -1;
    int output = -1;
    bool waited = false;
    int status = 0;
};

ChildProcess::ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments,
                           bool capture_output, bool bound)
    : impl_(std::make_unique<Impl>()) {
    int output[2] = {-1, -1};
    int exec_error[2] = {-1, -1};  // carries errno when exec fails; closed by a successful exec
    if ((capture_output && ::pipe2(output, O_CLOEXEC) != 0) || ::pipe2(exec_error, O_CLOEXEC) != 0)
        throw ProcessError("cannot create a pipe: " + reason(errno));

    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw ProcessError("cannot start " + program.string() + ": " + reason(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        if (bound && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)) ::_exit(127);
        if (capture_output) ::dup2(output[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        const int error = errno;
        [[maybe_unused]] const auto written = ::write(exec_error[1], &error, sizeof error);
        ::_exit(127);
    }
    impl_->pid = pid;
    close_fd(output[1]);
    close_fd(exec_error[1]);
    impl_->output = output[0];
    int error = 0;
    const auto got = ::read(exec_error[0], &error, sizeof error);
    close_fd(exec_error[0]);
    if (got == sizeof error) {
        wait();
        close_fd(impl_->output);
        throw ProcessError("cannot run " + program.string() + ": " + reason(error));
    }
}

ChildProcess::~ChildProcess() {
    if (!impl_->waited) {
        stop();
        // A child that ignores the request is ended after a grace period.
        for (int i = 0; i < 100 && !impl_->waited; ++i) {
            int status = 0;
            if (::waitpid(impl_->pid, &status, WNOHANG) == impl_->pid) {
                impl_->waited = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!impl_->waited) {
            ::kill(impl_->pid, SIGKILL);
            wait();
        }
    }
    close_fd(impl_->output);
}

std::size_t ChildProcess::read_output(char *buffer, std::size_t size) {
    if (impl_->output < 0) return 0;
    for (;;) {
        const auto got = ::read(impl_->output, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;
    }
}

void ChildProcess::stop() {
    if (!impl_->waited) ::kill(impl_->pid, SIGTERM);
}

int ChildProcess::wait() {
    if (!impl_->waited) {
        int status = 0;
        while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
        }
        impl_->waited = true;
        impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
    }
    return impl_->status;
}

}  // namespace drova
