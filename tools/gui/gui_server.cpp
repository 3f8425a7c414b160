#include "gui_server.h"

// One thread per open event stream, with room for the requests beside them.
#define CPPHTTPLIB_THREAD_POOL_COUNT 16
#include <httplib.h>

#include <chrono>
#include <regex>
#include <thread>

#include "browser.h"
#include "event_hub.h"
#include "exit_codes.h"
#include "gui_access.h"
#include "gui_assets.h"
#include "gui_requests.h"
#include "interrupt.h"
#include "listen_socket.h"
#include "serial_argument.h"
#include "sha256.h"
#include "workbench.h"

namespace drova::gui {
namespace {

using nlohmann::json;

// Images larger than any sector the library can address are refused unread.
constexpr std::size_t kMostBodyBytes = 64u << 20;
constexpr std::chrono::seconds kStreamPulse{5};

const httplib::Headers kSecurityHeaders{
    // Nothing but the page's own files, and no page may frame it.
    {"Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                                "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

void send_json(httplib::Response &response, int status, const json &body) {
    response.status = status;
    response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void send_reply(httplib::Response &response, const Reply &reply) { send_json(response, reply.status, reply.body); }

// The page names itself in every command, so that one page controls a device at a time.
std::optional<std::string> tab_of(const std::string &value) {
    static const std::regex valid("[A-Za-z0-9-]{1,64}");
    if (!std::regex_match(value, valid)) return std::nullopt;
    return value;
}

std::optional<std::string> header(const httplib::Request &request, const char *name) {
    if (!request.has_header(name)) return std::nullopt;
    return request.get_header_value(name);
}

RequestFacts facts_of(const httplib::Request &request) {
    RequestFacts facts;
    facts.method = request.method;
    facts.path = request.path;
    facts.host = request.get_header_value("Host");
    facts.origin = header(request, "Origin");
    facts.fetch_site = header(request, "Sec-Fetch-Site");
    if (const auto cookies = header(request, "Cookie")) facts.cookie = cookie_value(*cookies, kCookieName);
    if (request.has_param("token")) facts.query_token = request.get_param_value("token");
    return facts;
}

// An asset's bytes: built in, or from the folder given with --assets-dir.
bool send_asset(httplib::Response &response, const std::string &path, const std::optional<std::string> &dir) {
    const Asset *asset = find_asset(path);
    if (asset == nullptr) return false;
    if (!dir) {
        response.set_content(reinterpret_cast<const char *>(asset->data), asset->size, asset->type);
        return true;
    }
    try {
        response.set_content(read_whole_file(std::filesystem::path(*dir) / (asset->path + 1), kMostBodyBytes),
                             asset->type);
    } catch (const ImageError &error) {
        send_json(response, 500, {{"error", error.what()}});
    }
    return true;
}

class Routes {
public:
    Routes(httplib::Server &server, Workbench &bench, EventHub &hub, const GuiOptions &options)
        : bench_(bench), hub_(hub), options_(options) {
        server.Get("/api/events", [this](const httplib::Request &request, httplib::Response &response) {
            events(request, response);
        });
        post(server, "/api/connect", [this](const std::string &tab, const httplib::Request &request) {
            return bench_.connect(tab, parse_connect(request.body).path);
        });
        post(server, "/api/disconnect", [this](const std::string &tab, const httplib::Request &request) {
            parse_empty(request.body);
            return bench_.disconnect(tab);
        });
        post(server, "/api/refresh", [this](const std::string &tab, const httplib::Request &request) {
            parse_empty(request.body);
            return bench_.refresh(tab);
        });
        post(server, "/api/image", [this](const std::string &tab, const httplib::Request &request) {
            return image(tab, request);
        });
        post(server, "/api/plan", [this](const std::string &tab, const httplib::Request &request) {
            const auto plan = parse_program(request.body);
            return bench_.plan(tab, plan.target, plan.erase);
        });
        post(server, "/api/program", [this](const std::string &tab, const httplib::Request &request) {
            const auto program = parse_program(request.body);
            return bench_.program(
                tab, {tab, program.target, program.erase, program.start, program.next_device, nullptr},
                program.confirm);
        });
        post(server, "/api/next", [this](const std::string &tab, const httplib::Request &request) {
            return bench_.next_device(tab, parse_next_device(request.body).enabled);
        });
        post(server, "/api/verify", [this](const std::string &tab, const httplib::Request &request) {
            return bench_.verify(tab, parse_verify(request.body).target);
        });
        post(server, "/api/start", [this](const std::string &tab, const httplib::Request &request) {
            return bench_.start(tab, parse_id(request.body).id);
        });
        post(server, "/api/autostart", [this](const std::string &tab, const httplib::Request &request) {
            const auto autostart = parse_id(request.body);
            return bench_.autostart(tab, autostart.id, autostart.confirm);
        });
        post(server, "/api/write-serial", [this](const std::string &tab, const httplib::Request &request) {
            const auto serial = parse_serial(request.body);
            return bench_.write_serial(tab, serial.serial, serial.force_duplicate, serial.confirm);
        });
        post(server, "/api/reset", [this](const std::string &tab, const httplib::Request &request) {
            parse_empty(request.body);
            return bench_.reset(tab);
        });
        post(server, "/api/stop", [this](const std::string &tab, const httplib::Request &request) {
            parse_empty(request.body);
            return bench_.stop(tab);
        });
        server.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
            if (!send_asset(response, request.path, options_.assets_dir))
                send_json(response, 404, {{"error", "no such page"}});
        });
    }

private:
    using Command = std::function<Reply(const std::string &tab, const httplib::Request &)>;

    static void post(httplib::Server &server, const char *path, Command command) {
        server.Post(path, [command = std::move(command)](const httplib::Request &request, httplib::Response &response) {
            const auto tab = tab_of(request.get_header_value("X-Drova-Tab"));
            if (!tab) return send_json(response, 400, {{"error", "X-Drova-Tab must name the page"}});
            try {
                send_reply(response, command(*tab, request));
            } catch (const BadRequest &error) {
                send_json(response, 400, {{"error", error.what()}});
            }
        });
    }

    Reply image(const std::string &tab, const httplib::Request &request) {
        const std::string name = request.has_param("name") ? request.get_param_value("name") : "image";
        std::optional<std::uint32_t> address;
        if (request.has_param("address")) {
            address = parse_u32(request.get_param_value("address"));
            if (!address) throw BadRequest("\"address\" must be a 32-bit number");
        }
        auto loaded = std::make_shared<LoadedImage>();
        loaded->name = name;
        loaded->sha256 = sha256_hex(request.body);
        try {
            loaded->image = parse_image(name, request.body, ImageFormat::automatic, address);
            if (request.has_param("fill")) {
                const auto gap = parse_u32(request.get_param_value("fill"));
                if (!gap || *gap > kMostFilledGap)
                    throw BadRequest("\"fill\" must be a gap of at most " + std::to_string(kMostFilledGap) + " bytes");
                loaded->image.blocks = fill_gaps(std::move(loaded->image.blocks), *gap);
            }
        } catch (const ImageError &error) {
            throw BadRequest(name + ": " + error.what());
        }
        const Image &image = loaded->image;
        json body{{"name", name},
                  {"format", image_format_name(image.format)},
                  {"records", image.file_records},
                  {"blocks", image.blocks.size()},
                  {"bytes", image.data_bytes()},
                  {"warning", image.format_warning}};
        Reply reply = bench_.set_image(tab, std::move(loaded));
        if (reply.status == 200) reply.body = body;
        return reply;
    }

    void events(const httplib::Request &request, httplib::Response &response) {
        const auto tab = tab_of(request.has_param("tab") ? request.get_param_value("tab") : "");
        if (!tab) return send_json(response, 400, {{"error", "tab must name the page"}});
        hub_.stream_opened(*tab);
        auto after = std::make_shared<std::optional<std::uint64_t>>();
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, after](std::size_t, httplib::DataSink &sink) {
                if (hub_.closed()) return false;
                std::string text;
                if (!*after) {
                    auto [snapshot, sequence] = hub_.snapshot();
                    text = std::move(snapshot);
                    *after = sequence;
                } else if (auto message = hub_.next(**after, kStreamPulse)) {
                    text = std::move(message->first);
                    *after = message->second;
                } else {
                    if (hub_.closed()) return false;
                    text = ": still here\n\n";  // finds a page that has gone
                }
                return sink.write(text.data(), text.size());
            },
            [this, tab = *tab](bool) { hub_.stream_closed(tab); });
    }

    Workbench &bench_;
    EventHub &hub_;
    const GuiOptions &options_;
};

}  // namespace

void serve_gui(Runtime &runtime, const GuiOptions &options) {
    EventHub hub;
    const ServiceLog log(options.service_log ? std::filesystem::path(*options.service_log) : default_service_log());
    Workbench bench(runtime.api(), runtime.console(), hub, log, runtime.selection().search_unit_ms);
    httplib::Server server;
    server.set_default_headers(kSecurityHeaders);
    server.set_payload_max_length(kMostBodyBytes);
    server.set_socket_options([](auto socket) { listen_alone(static_cast<std::uintptr_t>(socket)); });
    const std::string token = new_token();
    int port = 0;
    server.set_pre_routing_handler([&](const httplib::Request &request, httplib::Response &response) {
        const AccessDecision decision = decide_access(facts_of(request), token, port);
        switch (decision.access) {
        case Access::allow: return httplib::Server::HandlerResponse::Unhandled;
        case Access::trade_token:
            // The token leaves the address bar and the history; the cookie goes to this server alone.
            response.set_header("Set-Cookie", std::string(kCookieName) + "=" + token +
                                                  "; HttpOnly; SameSite=Strict; Path=/");
            response.set_redirect("/", 303);
            return httplib::Server::HandlerResponse::Handled;
        case Access::forbidden: send_json(response, 403, {{"error", decision.reason}}); break;
        case Access::unauthorized: send_json(response, 401, {{"error", decision.reason}}); break;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    const Routes routes(server, bench, hub, options);
    port = options.port == 0 ? server.bind_to_any_port("127.0.0.1") : options.port;
    if (options.port != 0 && !server.bind_to_port("127.0.0.1", options.port)) port = -1;
    if (port <= 0)
        throw Failure(exit_code::kUsage, "gui: cannot listen on 127.0.0.1:" + std::to_string(options.port) +
                                             " (in use?)");
    const std::string address = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + token;
    runtime.console().line(address);
    std::thread listener([&server] { server.listen_after_bind(); });
    if (options.open_browser && !open_in_browser(address))
        runtime.console().note("drova: gui: no browser could be started; open the address above");
    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    hub.close();
    server.stop();
    listener.join();
}

}  // namespace drova::gui
