#include <dlfcn.h>
#include <link.h>

#include "library_loader.h"

namespace drova {

const char *SharedLibrary::default_name() { return "libdoduzerez.so.0"; }

SharedLibrary::SharedLibrary(const std::string &path) : requested_(path) {
    // Local binding: the library's names must not satisfy anything else.
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char *reason = ::dlerror();
        throw LoadError(reason != nullptr ? reason : "cannot load " + path);
    }
}

SharedLibrary::~SharedLibrary() { ::dlclose(handle_); }

void *SharedLibrary::symbol(const char *name) const { return ::dlsym(handle_, name); }

std::string SharedLibrary::location() const {
    const link_map *map = nullptr;
    if (::dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr && *map->l_name)
        return map->l_name;
    return requested_;
}

}  // namespace drova
