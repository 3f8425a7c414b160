// Commands that change what a device holds (erase, download, serial number,
// automatic start, the demo on a real device) ask first: on a terminal the
// user answers, elsewhere only --yes lets them go ahead. A simulated device
// is never asked about.
#pragma once

#include <string>

#include "console.h"

namespace drova {

struct ConfirmationPolicy {
    bool assume_yes = false;  // --yes
    bool simulated = false;   // the device is drova's own simulated one
};

// Returns when the change may go ahead; otherwise throws
// Failure(kNotConfirmed) saying why nothing was changed. `change` says what
// would happen, e.g. "erase sector 3 of <device>".
void confirm(Console &console, const ConfirmationPolicy &policy, const std::string &change);

}  // namespace drova
