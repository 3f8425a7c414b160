// The response and time-out handler of each command state.
#include "api/session.h"

namespace velkor {

void install_command_handlers(HandlerTable &) {}

}  // namespace velkor
