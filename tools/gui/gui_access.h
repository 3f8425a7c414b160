// Who may use drova gui's server. It listens on 127.0.0.1 only, but any page
// the user's browser shows could still send it requests: a page of another
// origin (cross-site requests, cross-origin event streams) and a host name
// that is rebound to 127.0.0.1 (DNS rebinding) are turned away, and every
// request must carry the launch's random token, traded once for a cookie.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace drova::gui {

// 128 random bits as 32 hexadecimal digits, new at each launch.
std::string new_token();

// The value of cookie `name` in a Cookie header.
std::optional<std::string> cookie_value(std::string_view header, std::string_view name);

inline constexpr const char *kCookieName = "drova_gui";

// What is known about a request for the access decision.
struct RequestFacts {
    std::string method;                 // "GET", "POST", ...
    std::string path;                   // without the query
    std::string host;                   // the Host header
    std::optional<std::string> origin;  // the Origin header
    std::optional<std::string> fetch_site;  // Sec-Fetch-Site
    std::optional<std::string> cookie;  // the token the cookie holds
    std::optional<std::string> query_token;  // ?token= of the printed address
};

enum class Access {
    allow,
    trade_token,  // the printed address: set the cookie and send the page without the token in the address
    forbidden,    // 403: another host name or origin
    unauthorized, // 401: no or a wrong token
};

struct AccessDecision {
    Access access = Access::forbidden;
    std::string reason;  // for a refusal, said to whoever sent it
};

// Whether a request may go on. State-changing requests (anything but GET and
// HEAD) and the event stream must come from the page's own origin.
AccessDecision decide_access(const RequestFacts &request, const std::string &token, int port);

// The path of the event stream, which is checked like a state-changing request.
inline constexpr const char *kEventsPath = "/api/events";

}  // namespace drova::gui
