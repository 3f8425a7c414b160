#include "sim_config.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <nlohmann/json.hpp>

namespace velkor::sim {

namespace {

using nlohmann::json;

std::optional<std::uint64_t> parse_number(const std::string &text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *begin = text.data() + (hex ? 2 : 0);
    const char *end = text.data() + text.size();
    std::uint64_t value = 0;
    auto [stop, ec] = std::from_chars(begin, end, value, hex ? 16 : 10);
    if (begin == end || ec != std::errc() || stop != end) return std::nullopt;
    return value;
}

// One JSON object being read: every key must be known, and errors name the
// key's path.
class ObjectReader {
public:
    ObjectReader(const json &object, std::string path, std::initializer_list<const char *> known)
        : object_(object), path_(std::move(path)) {
        if (!object_.is_object()) fail(path_, "expected an object");
        for (const auto &[key, value] : object_.items()) {
            bool found = false;
            for (const char *k : known) found = found || key == k;
            if (!found) fail(at(key), "unknown key");
        }
    }

    bool has(const char *key) const { return object_.contains(key) && !object_.at(key).is_null(); }
    const json &get(const char *key) const { return object_.at(key); }
    std::string at(const std::string &key) const { return path_.empty() ? key : path_ + "." + key; }

    std::uint64_t number(const char *key, std::uint64_t low, std::uint64_t high) const {
        const json &value = get(key);
        std::optional<std::uint64_t> n;
        if (value.is_number_unsigned()) n = value.get<std::uint64_t>();
        else if (value.is_number_integer() && value.get<std::int64_t>() >= 0) n = value.get<std::int64_t>();
        else if (value.is_string()) n = parse_number(value.get<std::string>());
        if (!n || *n < low || *n > high)
            fail(at(key), "expected a number " + std::to_string(low) + ".." + std::to_string(high));
        return *n;
    }
    std::int64_t signed_number(const char *key) const {
        const json &value = get(key);
        if (!value.is_number_integer()) fail(at(key), "expected an integer");
        return value.get<std::int64_t>();
    }
    std::string text(const char *key) const {
        if (!get(key).is_string()) fail(at(key), "expected a string");
        return get(key).get<std::string>();
    }
    std::uint32_t version(const char *key) const {
        if (get(key).is_string()) {
            if (auto v = parse_version(text(key))) return *v;
            fail(at(key), "expected a version A.B.C.D");
        }
        return static_cast<std::uint32_t>(number(key, 0, 0xFFFFFFFF));
    }

    [[noreturn]] static void fail(const std::string &where, const std::string &what) {
        throw ConfigError(where + ": " + what);
    }

private:
    const json &object_;
    std::string path_;
};

std::array<std::uint8_t, 4> read_features(const json &value, const std::string &where) {
    if (!value.is_array()) ObjectReader::fail(where, "expected a list of feature numbers 0..31");
    std::array<std::uint8_t, 4> features{};
    for (const json &n : value) {
        if (!n.is_number_unsigned() || n.get<std::uint64_t>() > 31)
            ObjectReader::fail(where, "expected a list of feature numbers 0..31");
        const auto feature = n.get<unsigned>();
        features[feature / 8] |= static_cast<std::uint8_t>(1u << (feature % 8));
    }
    return features;
}

std::uint8_t read_opcode(const json &value, const std::string &where) {
    if (value.is_string()) {
        if (auto op = opcode_from_name(value.get<std::string>())) return *op;
    } else if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 255) {
        return value.get<std::uint8_t>();
    }
    ObjectReader::fail(where, "expected an opcode (224..241 or a name such as \"query\")");
}

FaultRule read_fault(const json &value, const std::string &path) {
    ObjectReader r(value, path, {"kind", "opcode", "skip", "times", "amount", "frame"});
    FaultRule rule;
    if (!r.has("kind")) ObjectReader::fail(r.at("kind"), "missing");
    const auto kind = fault_kind_from_name(r.text("kind"));
    if (!kind) ObjectReader::fail(r.at("kind"), "unknown fault kind \"" + r.text("kind") + "\"");
    rule.kind = *kind;
    if (r.has("opcode")) rule.opcode = read_opcode(r.get("opcode"), r.at("opcode"));
    if (r.has("skip")) rule.skip = static_cast<std::uint32_t>(r.number("skip", 0, 0xFFFFFFFF));
    if (r.has("times")) rule.times = static_cast<std::uint32_t>(r.number("times", 0, 0xFFFFFFFF));
    if (r.has("amount")) rule.amount = r.signed_number("amount");
    if (r.has("frame")) rule.frame = static_cast<int>(std::clamp<std::int64_t>(r.signed_number("frame"), -1, 255));
    return rule;
}

ApplicationImage read_application(const json &value, const std::string &path) {
    ObjectReader r(value, path,
                   {"sector", "id", "name", "version_a", "version_b", "fw_version", "version_c", "version_d",
                    "features", "payload_size"});
    ApplicationImage app;
    if (!r.has("sector") || !r.has("id")) ObjectReader::fail(path, "needs \"sector\" and \"id\"");
    app.sector = static_cast<std::uint8_t>(r.number("sector", 0, 254));
    app.info.id = static_cast<std::uint32_t>(r.number("id", 0, 0xFFFFFFFE));
    if (r.has("name")) app.info.name = r.text("name");
    if (r.has("version_a")) app.info.version_a = r.version("version_a");
    if (r.has("version_b")) app.info.version_b = r.version("version_b");
    if (r.has("fw_version")) app.info.fw_version = r.version("fw_version");
    if (r.has("version_c")) app.info.version_c = r.version("version_c");
    if (r.has("version_d")) app.info.version_d = r.version("version_d");
    if (r.has("features")) app.info.features = read_features(r.get("features"), r.at("features"));
    if (r.has("payload_size")) app.payload_size = static_cast<std::uint32_t>(r.number("payload_size", 0, 0x10000000));
    return app;
}

ServedDevice read_device(const json &value, const std::string &path, std::size_t index) {
    ObjectReader r(value, path,
                   {"endpoint", "name", "serial", "fos_ifc_version", "hw_version", "status", "autostart", "reserved",
                    "sectors", "sector_size", "staging_size", "claim_timeout_ms", "flash_blocks_per_frame", "applications",
                    "start", "faults"});
    ServedDevice served;
    served.endpoint = r.has("endpoint") ? r.text("endpoint") : default_endpoint(index);
    DeviceConfig &d = served.device;
    d.serial_word = default_serial(index);
    if (r.has("name")) d.name = r.text("name");
    if (r.has("serial")) {
        const json &serial = r.get("serial");
        try {
            d.serial_word = serial.is_string() ? parse_serial(serial.get<std::string>())
                                               : static_cast<std::uint32_t>(r.number("serial", 0, 0xFFFFFFFF));
        } catch (const ConfigError &e) {
            ObjectReader::fail(r.at("serial"), e.what());
        }
    }
    if (r.has("fos_ifc_version")) d.fos_ifc_version = r.version("fos_ifc_version");
    if (r.has("hw_version")) d.hw_version = r.version("hw_version");
    if (r.has("status")) d.status = static_cast<std::uint32_t>(r.number("status", 0, 0xFFFFFFFF));
    if (r.has("autostart")) d.autostart_app_id = static_cast<std::uint32_t>(r.number("autostart", 0, 0xFFFFFFFF));
    if (r.has("reserved")) d.reserved = static_cast<std::uint32_t>(r.number("reserved", 0, 0xFFFFFFFF));
    if (r.has("sectors")) d.sectors = static_cast<unsigned>(r.number("sectors", 0, 255));
    if (r.has("sector_size")) d.sector_size = static_cast<std::uint32_t>(r.number("sector_size", 0, 0xFFFFFFFF));
    if (r.has("staging_size")) d.staging_size = static_cast<std::uint32_t>(r.number("staging_size", 0, 0xFFFFFFFF));
    if (r.has("claim_timeout_ms"))
        d.claim_timeout_ms = static_cast<std::uint32_t>(r.number("claim_timeout_ms", 0, 0xFFFFFFFF));
    if (r.has("flash_blocks_per_frame"))
        d.flash_blocks_per_frame = static_cast<unsigned>(r.number("flash_blocks_per_frame", 1, 3));
    if (r.has("applications")) {
        const json &apps = r.get("applications");
        if (!apps.is_array()) ObjectReader::fail(r.at("applications"), "expected a list");
        for (std::size_t i = 0; i < apps.size(); ++i)
            d.applications.push_back(read_application(apps[i], r.at("applications") + "[" + std::to_string(i) + "]"));
    }
    if (r.has("start")) {
        const json &start = r.get("start");
        if (!start.is_object()) ObjectReader::fail(r.at("start"), "expected an object keyed by application id");
        for (const auto &[key, entry] : start.items()) {
            const std::string where = r.at("start") + "." + key;
            const auto id = parse_number(key);
            if (!id || *id > 0xFFFFFFFF) ObjectReader::fail(where, "key is not an application id");
            ObjectReader e(entry, where, {"result", "features"});
            StartBehaviour behaviour;
            if (e.has("result")) behaviour.result = static_cast<std::uint32_t>(e.number("result", 0, 0xFFFFFFFF));
            if (e.has("features")) behaviour.features = read_features(e.get("features"), e.at("features"));
            d.start_behaviour[static_cast<std::uint32_t>(*id)] = behaviour;
        }
    }
    if (r.has("faults")) {
        const json &faults = r.get("faults");
        if (!faults.is_array()) ObjectReader::fail(r.at("faults"), "expected a list");
        for (std::size_t i = 0; i < faults.size(); ++i)
            served.faults.push_back(read_fault(faults[i], r.at("faults") + "[" + std::to_string(i) + "]"));
    }
    if (auto problem = check_config(d); !problem.empty()) ObjectReader::fail(path, problem);
    return served;
}

}  // namespace

std::string default_endpoint(std::size_t index) {
    const std::string number = std::to_string(index);
    return "drova" + std::string(number.size() < 2 ? 2 - number.size() : 0, '0') + number;
}

std::uint32_t default_serial(std::size_t index) { return 0x8D0123u + static_cast<std::uint32_t>(index); }

std::uint32_t parse_serial(const std::string &text) {
    if (auto serial = parse_serial_text(text)) return *serial;
    const auto number = parse_number(text);
    if (!number || *number > 0xFFFFFFFF)
        throw ConfigError("\"" + text + "\" is neither a serial number text (KV47D00291) nor a 32-bit number");
    return static_cast<std::uint32_t>(*number);
}

SimConfig parse_config(const std::string &json_text) {
    json root;
    try {
        root = json::parse(json_text);
    } catch (const json::parse_error &e) {
        throw ConfigError(std::string("not valid JSON: ") + e.what());
    }
    ObjectReader r(root, "", {"dir", "state_dir", "devices"});
    SimConfig config;
    if (r.has("dir")) config.dir = r.text("dir");
    if (r.has("state_dir")) config.state_dir = r.text("state_dir");
    if (!r.has("devices") || !r.get("devices").is_array() || r.get("devices").empty())
        ObjectReader::fail("devices", "expected a list of at least one device");
    const json &devices = r.get("devices");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        config.devices.push_back(read_device(devices[i], "devices[" + std::to_string(i) + "]", i));
        for (std::size_t j = 0; j < i; ++j)
            if (config.devices[j].endpoint == config.devices[i].endpoint)
                ObjectReader::fail("devices[" + std::to_string(i) + "].endpoint",
                                   "\"" + config.devices[i].endpoint + "\" is used twice");
    }
    return config;
}

FaultRule parse_fault_text(const std::string &text) {
    json object = json::object();
    std::size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (first) {
            const std::size_t at = part.find('@');
            object["kind"] = part.substr(0, at);
            if (at != std::string::npos) {
                const std::string op = part.substr(at + 1);
                const auto number = parse_number(op);
                object["opcode"] = number ? json(*number) : json(op);
            }
            first = false;
        } else {
            const std::size_t eq = part.find('=');
            if (eq == std::string::npos) throw ConfigError("fault \"" + text + "\": expected key=value, got \"" + part + "\"");
            const std::string key = part.substr(0, eq), value = part.substr(eq + 1);
            std::int64_t number = 0;
            auto [stop, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
            if (value.empty() || ec != std::errc() || stop != value.data() + value.size())
                throw ConfigError("fault \"" + text + "\": " + key + " needs an integer");
            object[key] = number;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return read_fault(object, "fault \"" + text + "\"");
}

}  // namespace velkor::sim
