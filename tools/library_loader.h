// The library loaded at run time, as any host loads it: dlopen / LoadLibrary
// and a lookup by export name. drova never links the library, so every run
// proves its exported interface. One implementation per OS
// (library_loader_posix.cpp, library_loader_win32.cpp).
#pragma once

#include <stdexcept>
#include <string>

namespace drova {

class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SharedLibrary {
public:
    // The name hosts load the library by on this OS: libdoduzerez.so.0 (its SONAME) / doduzerez.dll.
    static const char *default_name();

    // A path, or a bare name found the OS's way (beside the program, its run
    // path, the system's library paths). Throws LoadError with the OS's reason.
    explicit SharedLibrary(const std::string &path);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary &) = delete;
    SharedLibrary &operator=(const SharedLibrary &) = delete;

    // The address of an export, or null when the library lacks it.
    void *symbol(const char *name) const;
    // Where the library was loaded from, as the OS reports it.
    std::string location() const;

private:
    void *handle_ = nullptr;
    std::string requested_;
};

}  // namespace drova
