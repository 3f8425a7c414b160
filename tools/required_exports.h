// A command's exports, checked before it starts: a library that lacks one is
// reported as drova's library failure, not as a crash through a null pointer.
#pragma once

#include <initializer_list>

#include "device_session.h"
#include "exit_codes.h"
#include "velkor_api.h"

namespace drova {

inline void require(const VelkorApi &api, std::initializer_list<const char *> names) {
    try {
        api.require(names);
    } catch (const LoadError &error) {
        throw Failure(exit_code::kLibrary, error.what());
    }
}

}  // namespace drova
