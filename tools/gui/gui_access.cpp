#include "gui_access.h"

#include <array>
#include <cstdint>
#include <random>

namespace drova::gui {
namespace {

// Compares without stopping at the first difference, so that the time a
// refusal takes tells nothing about how much of a guess was right.
bool same_secret(std::string_view given, std::string_view secret) {
    if (given.size() != secret.size()) return false;
    unsigned char difference = 0;
    for (std::size_t k = 0; k < secret.size(); ++k)
        difference |= static_cast<unsigned char>(given[k] ^ secret[k]);
    return difference == 0;
}

bool is_own_host(std::string_view host, int port) {
    const std::string suffix = ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool is_own_origin(std::string_view origin, int port) {
    constexpr std::string_view scheme = "http://";
    return origin.substr(0, scheme.size()) == scheme && is_own_host(origin.substr(scheme.size()), port);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

std::string new_token() {
    // The system's source of randomness (getrandom, rand_s on Windows).
    std::random_device source;
    std::string token;
    for (int k = 0; k < 4; ++k) {
        const std::uint32_t word = source();
        for (int shift = 28; shift >= 0; shift -= 4) token += "0123456789abcdef"[(word >> shift) & 0xF];
    }
    return token;
}

std::optional<std::string> cookie_value(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const auto end = header.find(';');
        const std::string_view pair = trimmed(header.substr(0, end));
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name)
            return std::string(pair.substr(equals + 1));
        if (end == std::string_view::npos) break;
        header.remove_prefix(end + 1);
    }
    return std::nullopt;
}

AccessDecision decide_access(const RequestFacts &request, const std::string &token, int port) {
    if (!is_own_host(request.host, port))
        return {Access::forbidden, "this server answers only to 127.0.0.1:" + std::to_string(port) +
                                       " and localhost:" + std::to_string(port)};
    const bool reading = request.method == "GET" || request.method == "HEAD";
    const bool guarded = !reading || request.path == kEventsPath;
    // A browser marks what another site asked for; a same-origin event
    // stream may carry no Origin at all, a POST always does.
    if (request.fetch_site && *request.fetch_site != "same-origin" && *request.fetch_site != "none" && guarded)
        return {Access::forbidden, "requests from other sites are refused"};
    if (request.origin ? !is_own_origin(*request.origin, port) : !reading)
        if (guarded) return {Access::forbidden, "requests from other origins are refused"};
    if (request.cookie && same_secret(*request.cookie, token)) return {Access::allow, {}};
    if (request.query_token && reading && request.path == "/") {
        if (same_secret(*request.query_token, token)) return {Access::trade_token, {}};
        return {Access::unauthorized, "wrong token: open the address drova gui printed"};
    }
    return {Access::unauthorized, "no valid token: open the address drova gui printed"};
}

}  // namespace drova::gui
