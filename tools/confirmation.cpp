#include "confirmation.h"

#include <cstdio>
#include <iostream>

#include "device_session.h"
#include "exit_codes.h"
#include "os_services.h"

namespace drova {

void confirm(Console &console, const ConfirmationPolicy &policy, const std::string &change) {
    if (policy.assume_yes || policy.simulated) return;
    if (!is_terminal(stdin))
        throw Failure(exit_code::kNotConfirmed, change + ": not done, nothing was changed. drova asks before changing "
                                                         "a device and standard input is not a terminal; add --yes "
                                                         "to go ahead without asking");
    std::string answer;
    console.prompt(change + ": go ahead? [y/N] ");
    std::getline(std::cin, answer);
    if (answer != "y" && answer != "Y" && answer != "yes")
        throw Failure(exit_code::kNotConfirmed, change + ": not confirmed, nothing was changed");
}

}  // namespace drova
