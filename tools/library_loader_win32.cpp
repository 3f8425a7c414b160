#include <windows.h>

#include "library_loader.h"

namespace drova {

const char *SharedLibrary::default_name() { return "doduzerez.dll"; }

SharedLibrary::SharedLibrary(const std::string &path) : requested_(path) {
    HMODULE module = ::LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD code = ::GetLastError();
        char text[512] = {};
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                         sizeof text, nullptr);
        std::string reason = text;
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
            reason.pop_back();
        throw LoadError(path + ": " + (reason.empty() ? "error " + std::to_string(code) : reason));
    }
    handle_ = module;
}

SharedLibrary::~SharedLibrary() { ::FreeLibrary(static_cast<HMODULE>(handle_)); }

void *SharedLibrary::symbol(const char *name) const {
    return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string SharedLibrary::location() const {
    char path[MAX_PATH] = {};
    const DWORD size = ::GetModuleFileNameA(static_cast<HMODULE>(handle_), path, MAX_PATH);
    return size > 0 && size < MAX_PATH ? std::string(path, size) : requested_;
}

}  // namespace drova
