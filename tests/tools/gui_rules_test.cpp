// drova gui's rules that need no server: who may send what, and which
// command bodies are taken. The server's own tests (tests/gui) run them over
// HTTP on Linux; these rows also run on Windows.
#include <gtest/gtest.h>

#include <set>

#include "gui_access.h"
#include "gui_requests.h"

namespace drova::gui {
namespace {

const std::string kToken(32, 'a');
constexpr int kPort = 8123;

RequestFacts request(std::string method, std::string path) {
    RequestFacts facts;
    facts.method = std::move(method);
    facts.path = std::move(path);
    facts.host = "127.0.0.1:8123";
    facts.cookie = kToken;
    return facts;
}

TEST(GuiAccess, DecidesWhoMayAsk) {
    const auto with = [](RequestFacts facts, auto change) {
        change(facts);
        return facts;
    };
    const RequestFacts page = request("GET", "/");
    const RequestFacts post = with(request("POST", "/api/connect"), [](auto &r) { r.origin = "http://127.0.0.1:8123"; });
    const RequestFacts events = request("GET", kEventsPath);
    const struct {
        const char *row;
        RequestFacts facts;
        Access access;
    } rows[] = {
        {"the page", page, Access::allow},
        {"by localhost", with(page, [](auto &r) { r.host = "localhost:8123"; }), Access::allow},
        {"rebound host", with(page, [](auto &r) { r.host = "evil.example:8123"; }), Access::forbidden},
        {"other port", with(page, [](auto &r) { r.host = "127.0.0.1:8124"; }), Access::forbidden},
        {"host as prefix", with(page, [](auto &r) { r.host = "127.0.0.1:81234"; }), Access::forbidden},
        {"no cookie", with(page, [](auto &r) { r.cookie.reset(); }), Access::unauthorized},
        {"wrong cookie", with(page, [](auto &r) { r.cookie = std::string(32, 'b'); }), Access::unauthorized},
        {"short cookie", with(page, [](auto &r) { r.cookie = "a"; }), Access::unauthorized},
        {"printed address", with(page, [](auto &r) { r.cookie.reset(); r.query_token = kToken; }), Access::trade_token},
        {"wrong address token", with(page, [](auto &r) { r.cookie.reset(); r.query_token = "ab"; }),
         Access::unauthorized},
        {"token elsewhere", with(request("GET", "/app.js"), [](auto &r) { r.cookie.reset(); r.query_token = kToken; }),
         Access::unauthorized},
        {"token by POST", with(post, [](auto &r) { r.cookie.reset(); r.query_token = kToken; }), Access::unauthorized},
        {"command", post, Access::allow},
        {"command without origin", with(post, [](auto &r) { r.origin.reset(); }), Access::forbidden},
        {"command from elsewhere", with(post, [](auto &r) { r.origin = "http://evil.example"; }), Access::forbidden},
        {"command from https", with(post, [](auto &r) { r.origin = "https://127.0.0.1:8123"; }), Access::forbidden},
        {"command, null origin", with(post, [](auto &r) { r.origin = "null"; }), Access::forbidden},
        {"command cross-site", with(post, [](auto &r) { r.fetch_site = "cross-site"; }), Access::forbidden},
        {"command same-site", with(post, [](auto &r) { r.fetch_site = "same-site"; }), Access::forbidden},
        {"command same-origin", with(post, [](auto &r) { r.fetch_site = "same-origin"; }), Access::allow},
        {"events", events, Access::allow},
        {"events from elsewhere", with(events, [](auto &r) { r.origin = "http://evil.example"; }), Access::forbidden},
        {"events cross-site", with(events, [](auto &r) { r.fetch_site = "cross-site"; }), Access::forbidden},
        {"a cross-site image", with(request("GET", "/style.css"), [](auto &r) { r.fetch_site = "cross-site"; }),
         Access::allow},
    };
    for (const auto &row : rows) EXPECT_EQ(decide_access(row.facts, kToken, kPort).access, row.access) << row.row;
}

TEST(GuiAccess, TokensAreLongAndNew) {
    std::set<std::string> tokens;
    for (int k = 0; k < 100; ++k) {
        const std::string token = new_token();
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        tokens.insert(token);
    }
    EXPECT_EQ(tokens.size(), 100u);
    EXPECT_EQ(cookie_value("a=1; drova_gui=xyz; b=2", kCookieName), "xyz");
    EXPECT_EQ(cookie_value("xdrova_gui=1;drova_gui=2", kCookieName), "2");
    EXPECT_EQ(cookie_value("drova_guix=1", kCookieName), std::nullopt);
}

TEST(GuiRequests, TakesOnlyWhatACommandNeeds) {
    const auto refused = [](auto parse, const char *body) {
        try {
            parse(body);
        } catch (const BadRequest &) {
            return true;
        }
        return false;
    };
    const struct {
        const char *body;
        bool taken;
    } program_rows[] = {
        {R"({"target": 0})", true},
        {R"({"target": 255, "erase": true, "start": false, "confirm": "x"})", true},
        {R"({"target": 256})", false},
        {R"({"target": -1})", false},
        {R"({"target": 1.0})", false},
        {R"({"target": "1"})", false},
        {R"({"target": 1, "erase": 1})", false},
        {R"({"target": 1, "confirm": null})", false},
        {R"({"target": 1, "extra": 1})", false},
        {R"({})", false},
        {R"([])", false},
        {"", false},
        {"{\"target\": 1", false},
    };
    for (const auto &row : program_rows) EXPECT_EQ(!refused(parse_program, row.body), row.taken) << row.body;

    EXPECT_EQ(parse_program(R"({"target": 3, "erase": true})").target, 3u);
    EXPECT_EQ(parse_serial(R"({"serial": "KV47D00291"})").serial, 0x8D0123u);
    EXPECT_EQ(parse_serial(R"({"serial": 5, "force": true})").force_duplicate, true);
    EXPECT_EQ(parse_id(R"({"id": 4294967295})").id, 0xFFFFFFFFu);
    EXPECT_EQ(parse_connect(R"({"path": "/run/velkor/usb/drova00"})").path, "/run/velkor/usb/drova00");
    for (const char *body : {R"({"serial": "KV??"})", R"({"serial": 16777215})", R"({"serial": -5})", R"({})"})
        EXPECT_TRUE(refused(parse_serial, body)) << body;
    for (const char *body : {R"({"id": 4294967296})", R"({"id": "5"})", R"({"id": 5, "confirm": 5})"})
        EXPECT_TRUE(refused(parse_id, body)) << body;
    for (const char *body : {R"({"path": ""})", R"({"path": 5})", R"({"paths": "x"})"})
        EXPECT_TRUE(refused(parse_connect, body)) << body;
    EXPECT_TRUE(refused(parse_connect, ("{\"path\": \"" + std::string(300, 'x') + "\"}").c_str()));
    EXPECT_FALSE(refused(parse_empty, ""));
    EXPECT_FALSE(refused(parse_empty, "{}"));
    EXPECT_TRUE(refused(parse_empty, R"({"now": true})"));
}

}  // namespace
}  // namespace drova::gui
