// The pairs a maintenance command posts when its answer has been judged or
// its period has run out. The caller has already ended the command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/session.h"

namespace velkor {

// True when the answer is the expected echo: its length and its bytes.
bool answer_echoes(const Session &session, const std::uint8_t *body, std::size_t length);

// (event, 0) when the answer echoes what was expected, else (15,6), (event, 1).
void post_echo_outcome(const Session &session, Workers &running, const std::uint8_t *body, std::size_t length,
                       int event);

// (15,7), (event, 1).
void post_timeout(Workers &running, int event);

}  // namespace velkor
