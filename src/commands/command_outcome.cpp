#include "commands/command_outcome.h"

#include "protocol/exchange.h"

namespace velkor {

bool answer_echoes(const Session &session, const std::uint8_t *body, std::size_t length) {
    return length == session.exchange.echo_length && protocol::echo_matches(session, body);
}

void post_echo_outcome(const Session &session, Workers &running, const std::uint8_t *body, std::size_t length,
                       int event) {
    if (answer_echoes(session, body, length)) {
        running.post(event, 0);
        return;
    }
    running.post(VELKOR_EV_ERROR, VELKOR_ERR_INVALID_ANSWER);
    running.post(event, 1);
}

void post_timeout(Workers &running, int event) {
    running.post(VELKOR_EV_ERROR, VELKOR_ERR_NOT_RESPONDING);
    running.post(event, 1);
}

}  // namespace velkor
