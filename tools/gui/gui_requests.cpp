#include "gui_requests.h"

#include <initializer_list>

#include <nlohmann/json.hpp>

#include "serial_argument.h"

namespace drova::gui {
namespace {

using nlohmann::json;

// An interface path fits the library's 260-byte field.
constexpr std::size_t kMostPathBytes = 259;

// The body as an object whose keys are all among `known`.
json object_of(const std::string &body, std::initializer_list<const char *> known) {
    json document = json::parse(body, nullptr, false);
    if (document.is_discarded()) throw BadRequest("the body is not JSON");
    if (!document.is_object()) throw BadRequest("the body is not a JSON object");
    for (const auto &item : document.items()) {
        bool expected = false;
        for (const char *key : known) expected = expected || item.key() == key;
        if (!expected) throw BadRequest("unknown field \"" + item.key() + "\"");
    }
    return document;
}

const json &required(const json &document, const char *key) {
    const auto found = document.find(key);
    if (found == document.end()) throw BadRequest(std::string("\"") + key + "\" is missing");
    return *found;
}

bool flag(const json &document, const char *key) {
    const auto found = document.find(key);
    if (found == document.end()) return false;
    if (!found->is_boolean()) throw BadRequest(std::string("\"") + key + "\" must be true or false");
    return found->get<bool>();
}

std::uint64_t whole_number(const json &value, const char *key, std::uint64_t most) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > most)
        throw BadRequest(std::string("\"") + key + "\" must be a whole number from 0 to " + std::to_string(most));
    return value.get<std::uint64_t>();
}

std::optional<std::string> confirmation(const json &document) {
    const auto found = document.find("confirm");
    if (found == document.end()) return std::nullopt;
    if (!found->is_string()) throw BadRequest("\"confirm\" must be the confirmation's text");
    return found->get<std::string>();
}

unsigned area(const json &document) {
    return static_cast<unsigned>(whole_number(required(document, "target"), "target", 255));
}

}  // namespace

ConnectRequest parse_connect(const std::string &body) {
    const json document = object_of(body, {"path"});
    const json &path = required(document, "path");
    if (!path.is_string() || path.get<std::string>().empty() || path.get<std::string>().size() > kMostPathBytes)
        throw BadRequest("\"path\" must be an interface path as the device list gives it");
    return {path.get<std::string>()};
}

ProgramRequest parse_program(const std::string &body) {
    const json document = object_of(body, {"target", "erase", "start", "next", "confirm"});
    return {area(document), flag(document, "erase"), flag(document, "start"), flag(document, "next"),
            confirmation(document)};
}

VerifyRequest parse_verify(const std::string &body) { return {area(object_of(body, {"target"}))}; }

IdRequest parse_id(const std::string &body) {
    const json document = object_of(body, {"id", "confirm"});
    return {static_cast<std::uint32_t>(whole_number(required(document, "id"), "id", 0xFFFFFFFF)),
            confirmation(document)};
}

SerialRequest parse_serial(const std::string &body) {
    const json document = object_of(body, {"serial", "force", "confirm"});
    const json &serial = required(document, "serial");
    std::optional<std::uint32_t> number;
    if (serial.is_string()) number = parse_serial_argument(serial.get<std::string>());
    else if (serial.is_number_unsigned() && serial.get<std::uint64_t>() <= 0xFFFFFFFF)
        number = static_cast<std::uint32_t>(serial.get<std::uint64_t>());
    // 0xFFFFFF is what a device without a number reports: it could not be found by it again.
    if (!number || *number >= 0xFFFFFF)
        throw BadRequest("\"serial\" must be a 24-bit number or its text like KV47D00291, not 0xFFFFFF");
    return {*number, flag(document, "force"), confirmation(document)};
}

NextDeviceRequest parse_next_device(const std::string &body) {
    const json document = object_of(body, {"enabled"});
    required(document, "enabled");
    return {flag(document, "enabled")};
}

void parse_empty(const std::string &body) {
    if (!body.empty()) object_of(body, {});
}

}  // namespace drova::gui
