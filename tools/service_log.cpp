#include "service_log.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <stdexcept>

namespace drova {

std::string utc_time_text() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02lldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                  static_cast<long long>(time.seconds().count()));
    return text;
}

nlohmann::json ServiceLog::append(const ServiceRecord &record) const {
    nlohmann::json line{{"time", utc_time_text()}, {"device", record.device}, {"deviceLine", record.device_line},
                        {"change", record.change}};
    if (record.area) line["area"] = *record.area;
    if (!record.image.empty()) line["image"] = record.image, line["sha256"] = record.sha256;
    line["outcome"] = record.outcome;
    line["text"] = record.text;
    std::error_code ignored;
    std::filesystem::create_directories(path_.parent_path(), ignored);
    std::ofstream out(path_, std::ios::app | std::ios::binary);
    // Device names and file names need not be UTF-8: such bytes become U+FFFD.
    out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    out.flush();
    if (!out) throw std::runtime_error("cannot write the service log " + path_.string());
    return line;
}

std::vector<nlohmann::json> ServiceLog::read(std::size_t most, std::size_t *unreadable) const {
    std::ifstream in(path_, std::ios::binary);
    std::deque<nlohmann::json> records;
    std::size_t bad = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object()) {
            ++bad;
            continue;
        }
        records.push_back(std::move(record));
        if (records.size() > most) records.pop_front();
    }
    if (unreadable != nullptr) *unreadable = bad;
    return {records.begin(), records.end()};
}

std::string service_line(const nlohmann::json &record) {
    const auto text = [&](const char *key) {
        const auto found = record.find(key);
        if (found == record.end()) return std::string();
        return found->is_string() ? found->get<std::string>() : found->dump();
    };
    std::string line = text("time") + "  " + text("device") + "  " + text("change");
    if (record.contains("area")) line += " area " + text("area");
    if (record.contains("image")) line += "  " + text("image") + " (SHA-256 " + text("sha256") + ")";
    return line + "  " + text("outcome") + ": " + text("text");
}

}  // namespace drova
