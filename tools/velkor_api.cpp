#include "velkor_api.h"

namespace drova {

VelkorApi::VelkorApi(const SharedLibrary &library) {
#define DROVA_BIND(name)                                                                                               \
    name = reinterpret_cast<decltype(name)>(library.symbol(#name));                                                    \
    if (name == nullptr) missing_.insert(#name);
    DROVA_EXPORTS(DROVA_BIND)
#undef DROVA_BIND
}

void VelkorApi::require(std::initializer_list<const char *> names) const {
    for (const char *name : names)
        if (missing_.count(name) != 0) throw LoadError(std::string("the loaded library does not export ") + name);
}

std::string VelkorApi::error_text(int code) const {
    if (_GetErrorString == nullptr) return "error " + std::to_string(code);
    const char *text = _GetErrorString(code);
    return text != nullptr ? text : "";
}

}  // namespace drova
