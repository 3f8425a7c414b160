#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>

#include "os_services.h"

namespace drova {
namespace {

std::string last_error_text() {
    const DWORD code = ::GetLastError();
    char text[256] = {};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                     nullptr);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) reason.pop_back();
    return reason.empty() ? "error " + std::to_string(code) : reason;
}

// One argument as the C runtime's command-line parser reads it back.
std::string quote(const std::string &argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle &operator=(Handle &&other) noexcept {
        reset();
        handle_ = other.handle_;
        other.handle_ = nullptr;
        return *this;
    }
    HANDLE get() const { return handle_; }
    void reset() {
        if (handle_ != nullptr) ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// A standard handle of this process that a child can inherit.
Handle inheritable(DWORD which) {
    HANDLE own = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return Handle{};
    return Handle(copy);
}

}  // namespace

std::filesystem::path executable_path() {
    char path[MAX_PATH] = {};
    const DWORD size = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::filesystem::path(std::string(path, size));
}

std::string program_file_name(const std::string &stem) { return stem + ".exe"; }

// _putenv_s sets both the C runtime's copy, which getenv here reads, and the
// process environment, which the library and child processes read.
void set_environment(const char *name, const char *value) { ::_putenv_s(name, value != nullptr ? value : ""); }

bool is_terminal(std::FILE *stream) { return ::_isatty(::_fileno(stream)) != 0; }

std::string device_search_place() {
    const char *location = std::getenv("VELKOR_USB_DIR");
    if (location != nullptr && *location != '\0')
        return std::string("the named pipes \\\\.\\pipe\\") + location + "* (VELKOR_USB_DIR)";
    return "the USB devices of interface class {8D96C3F0-627C-490D-BAA2-3F7D1D789F3D}: is the device plugged in and "
           "its driver installed?";
}

void use_binary_standard_input() { ::_setmode(::_fileno(stdin), _O_BINARY); }

ScratchLocation::ScratchLocation() {
    static std::atomic<unsigned> serial{0};
    value_ = "drova-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial) + "-";
}

ScratchLocation::~ScratchLocation() = default;  // pipes go with the process that serves them

struct ChildProcess::Impl {
    Handle process;
    Handle output;
    Handle job;  // ends the child with drova: closing the last handle kills its processes
    bool waited = false;
    int status = 0;
};

ChildProcess::ChildProcess(const std::filesystem::path &program, const std::vector<std::string> &arguments,
                           bool capture_output, bool bound)
    : impl_(std::make_unique<Impl>()) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle output_write;
    if (capture_output) {
        HANDLE read_end = nullptr, write_end = nullptr;
        if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) throw ProcessError("cannot create a pipe: " + last_error_text());
        impl_->output = Handle(read_end);
        output_write = Handle(write_end);
        ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    }
    Handle input = inheritable(STD_INPUT_HANDLE);
    Handle own_output = capture_output ? Handle{} : inheritable(STD_OUTPUT_HANDLE);
    Handle error = inheritable(STD_ERROR_HANDLE);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = capture_output ? output_write.get() : own_output.get();
    startup.hStdError = error.get();

    std::string command_line = quote(program.string());
    for (const auto &argument : arguments) command_line += " " + quote(argument);

    PROCESS_INFORMATION created{};
    if (!::CreateProcessA(program.string().c_str(), command_line.data(), nullptr, nullptr, TRUE,
                          bound ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &created))
        throw ProcessError("cannot run " + program.string() + ": " + last_error_text());
    impl_->process = Handle(created.hProcess);
    Handle thread(created.hThread);
    if (bound) {
        // Best effort: where jobs are not available the child is still stopped
        // by this object, just not when drova itself is killed.
        impl_->job = Handle(::CreateJobObjectA(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (impl_->job.get() == nullptr ||
            !::SetInformationJobObject(impl_->job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
            !::AssignProcessToJobObject(impl_->job.get(), created.hProcess))
            impl_->job.reset();
        ::ResumeThread(thread.get());
    }
}

ChildProcess::~ChildProcess() {
    if (!impl_->waited) {
        stop();
        wait();
    }
}

std::size_t ChildProcess::read_output(char *buffer, std::size_t size) {
    if (impl_->output.get() == nullptr) return 0;
    DWORD got = 0;
    if (!::ReadFile(impl_->output.get(), buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
    return got;
}

void ChildProcess::stop() {
    if (!impl_->waited) ::TerminateProcess(impl_->process.get(), 1);
}

int ChildProcess::wait() {
    if (!impl_->waited) {
        ::WaitForSingleObject(impl_->process.get(), INFINITE);
        DWORD code = 1;
        ::GetExitCodeProcess(impl_->process.get(), &code);
        impl_->waited = true;
        impl_->status = static_cast<int>(code);
    }
    return impl_->status;
}

}  // namespace drova
