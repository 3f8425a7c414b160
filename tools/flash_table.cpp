#include "flash_table.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "firmware_tree.h"
#include "printable_text.h"

namespace drova {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::uint32_t kEmptyId = 0xFFFFFFFFu;
constexpr std::uint32_t kWildcard = 0xFFFEFDFCu;
constexpr std::size_t kNameSize = 64;
constexpr std::size_t kMostSectors = 255;
constexpr int kMarked = 1;  // the state index drova hands the check

// The version fields in block order, with their names in text and JSON.
struct VersionField {
    const char *label;  // in a table line
    const char *key;    // in JSON
    int offset;
};
constexpr VersionField kVersions[] = {{"A", "versionA", VELKOR_INFO_VERSION_A},
                                      {"B", "versionB", VELKOR_INFO_VERSION_B},
                                      {"C", "versionC", VELKOR_INFO_VERSION_C},
                                      {"D", "versionD", VELKOR_INFO_VERSION_D},
                                      {"firmware", "firmwareVersion", VELKOR_INFO_FW_VERSION}};

bool versions_match(std::uint32_t a, std::uint32_t b) { return a == b || a == kWildcard || b == kWildcard; }

void put_word(InfoBlock &block, int offset, std::uint32_t value) {
    for (int k = 0; k < 4; ++k)
        block[static_cast<std::size_t>(offset + k)] = static_cast<std::uint8_t>(value >> (24 - 8 * k));
}

// "A.B.C.D" with each part 0..255, or "Don't care".
std::optional<std::uint32_t> parse_version(const std::string &text) {
    if (text == version_text(kWildcard)) return kWildcard;
    std::uint32_t packed = 0;
    const char *at = text.data();
    const char *const end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at == end || *at++ != '.')) return std::nullopt;
        unsigned value = 0;
        const auto [stop, error] = std::from_chars(at, end, value);
        if (error != std::errc() || stop == at || value > 255) return std::nullopt;
        packed = packed << 8 | value;
        at = stop;
    }
    return at == end ? std::optional<std::uint32_t>(packed) : std::nullopt;
}

// The bytes name_text wrote: \\ and \xNN undone, at most the field's size.
std::optional<std::string> unescape_name(const std::string &text) {
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\') {
            bytes += text[at];
            continue;
        }
        if (at + 1 < text.size() && text[at + 1] == '\\') {
            bytes += '\\';
            ++at;
            continue;
        }
        unsigned value = 0;
        if (at + 3 >= text.size() || text[at + 1] != 'x') return std::nullopt;
        const auto [stop, error] = std::from_chars(text.data() + at + 2, text.data() + at + 4, value, 16);
        if (error != std::errc() || stop != text.data() + at + 4 || value == 0) return std::nullopt;
        bytes += static_cast<char>(value);
        at += 3;
    }
    if (bytes.size() > kNameSize) return std::nullopt;
    return bytes;
}

std::string sector_label(std::size_t sector) { return "sector " + std::to_string(sector); }

Json entry_json(const FlashTable &table, std::size_t sector) {
    const InfoBlock &block = table.sectors[sector];
    Json entry{{"sector", sector}, {"kind", kind_text(block)}, {"id", block_word(block, VELKOR_INFO_ID)}};
    if (is_empty_sector(block)) return entry;
    entry["name"] = name_text(block);
    for (const auto &field : kVersions) entry[field.key] = version_text(block_word(block, field.offset));
    return entry;
}

std::string entry_line(const FlashTable &table, std::size_t sector) {
    const InfoBlock &block = table.sectors[sector];
    std::string line = sector_label(sector) + "  " + kind_text(block);
    if (is_empty_sector(block)) return line;
    line += "  id " + std::to_string(block_word(block, VELKOR_INFO_ID)) + "  '" + name_text(block) + "'";
    for (const auto &field : kVersions)
        line += std::string("  ") + field.label + " " + version_text(block_word(block, field.offset));
    return line;
}

// Device names come from the device: never let a stray byte stop the output.
std::string dump(const Json &document) { return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

// Reads saved sector `index`; errors name the key that is wrong.
InfoBlock read_sector(const Json &entry, std::size_t index) {
    const std::string where = "sectors[" + std::to_string(index) + "]";
    const auto fail = [&](const std::string &key, const std::string &what) -> TableError {
        return TableError(where + (key.empty() ? "" : "." + key) + ": " + what);
    };
    if (!entry.is_object()) throw fail("", "expected an object");
    const auto number = [&](const char *key) {
        if (!entry.contains(key)) throw fail(key, "missing");
        const Json &value = entry.at(key);
        if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFu)
            throw fail(key, "expected a number 0..4294967295");
        return value.get<std::uint64_t>();
    };
    const auto text = [&](const char *key) {
        if (!entry.contains(key)) throw fail(key, "missing");
        if (!entry.at(key).is_string()) throw fail(key, "expected a string");
        return entry.at(key).get<std::string>();
    };
    if (number("sector") != index) throw fail("sector", "expected " + std::to_string(index) + ", sectors in order");
    const auto id = static_cast<std::uint32_t>(number("id"));
    InfoBlock block;
    block.fill(id == kEmptyId ? 0xFF : 0);  // an erased sector reads 0xFF
    put_word(block, VELKOR_INFO_ID, id);
    if (entry.contains("kind") && (!entry.at("kind").is_string() || entry.at("kind") != kind_text(block)))
        throw fail("kind", "does not fit id " + std::to_string(id) + ", which is " + kind_text(block));
    if (id != kEmptyId) {
        const auto name = unescape_name(text("name"));
        if (!name) throw fail("name", "expected at most 64 bytes, with \\\\ and \\xNN (not \\x00) as escapes");
        std::copy(name->begin(), name->end(), block.begin() + VELKOR_INFO_NAME);
        for (const auto &field : kVersions) {
            const auto version = parse_version(text(field.key));
            if (!version) throw fail(field.key, "expected a version A.B.C.D or \"Don't care\"");
            put_word(block, field.offset, *version);
        }
    }
    return block;
}

// The other sectors whose field conflicts with sector `s`'s.
std::vector<std::size_t> others(const FlashTable &table, std::size_t s,
                                const std::function<bool(const InfoBlock &)> &conflicts) {
    std::vector<std::size_t> found;
    for (std::size_t k = 0; k < table.sectors.size(); ++k)
        if (k != s && !is_empty_sector(table.sectors[k]) && conflicts(table.sectors[k])) found.push_back(k);
    return found;
}

// "<field> <value> <lead> <each involved entry> and <the next> ...". Without
// `each` the lead says it all; with it but no entry to name, the library
// marked what drova cannot explain: "<field> <value> marked".
Mark mark(const FlashTable &table, std::size_t s, const char *field, int offset, std::vector<std::size_t> involved,
          const std::string &lead, const std::function<std::string(std::size_t)> &each) {
    const InfoBlock &block = table.sectors[s];
    const std::string value = offset == VELKOR_INFO_ID ? std::to_string(block_word(block, offset))
                                                       : version_text(block_word(block, offset));
    Mark result{field, offset, std::move(involved), std::string(field) + " " + value};
    if (result.involved.empty() && each) {
        result.text += " marked";
        return result;
    }
    result.text += " " + lead;
    for (std::size_t k = 0; k < result.involved.size(); ++k)
        result.text += (k == 0 ? " " : " and ") + each(result.involved[k]);
    return result;
}

std::vector<Mark> words(const FlashTable &table, std::size_t s, int marks) {
    const InfoBlock &p = table.sectors[s];
    const std::uint32_t id = block_word(p, VELKOR_INFO_ID);
    const auto word = [](const InfoBlock &block, int offset) { return block_word(block, offset); };
    const auto named = [&](std::size_t k) { return entry_name(table, k); };
    const auto of = [&](const char *field, int offset) {
        return [&table, &named, field, offset](std::size_t k) {
            return std::string(field) + " " + version_text(block_word(table.sectors[k], offset)) + " of " + named(k);
        };
    };
    const auto is_kind = [&](std::uint32_t kind) {
        return [kind](const InfoBlock &q) { return block_word(q, VELKOR_INFO_ID) == kind; };
    };
    std::vector<Mark> result;
    if (marks & FIRMWARE_MARK_ID)
        result.push_back(mark(table, s, "id", VELKOR_INFO_ID, others(table, s, is_kind(id)), "also held by", named));
    if (marks & FIRMWARE_MARK_VERSION_B) {
        const auto involved = others(table, s, [&](const InfoBlock &q) {
            return is_kind(0)(q) && !versions_match(word(q, VELKOR_INFO_VERSION_B), word(p, VELKOR_INFO_VERSION_B));
        });
        result.push_back(mark(table, s, "versionB", VELKOR_INFO_VERSION_B, involved, "differs from",
                              of("versionB", VELKOR_INFO_VERSION_B)));
    }
    if (marks & FIRMWARE_MARK_VERSION_C) {
        if (id == 2) {
            const auto involved = others(table, s, [&](const InfoBlock &q) {
                return is_kind(2)(q) && versions_match(word(q, VELKOR_INFO_VERSION_C), word(p, VELKOR_INFO_VERSION_C));
            });
            result.push_back(mark(table, s, "versionC", VELKOR_INFO_VERSION_C, involved, "also offered by", named));
        } else {
            // Nothing to name: no kind-2 entry offers it, or a system entry has one at all.
            const std::string why = id > 2 ? "offered by no kind-2 entry"
                                           : "where a " + kind_text(p) + " entry needs " + version_text(kWildcard);
            result.push_back(mark(table, s, "versionC", VELKOR_INFO_VERSION_C, {}, why, {}));
        }
    }
    if (marks & FIRMWARE_MARK_VERSION_D) {
        const auto involved = others(table, s, [&](const InfoBlock &q) {
            return is_kind(0)(q) && !versions_match(word(q, VELKOR_INFO_VERSION_A), word(p, VELKOR_INFO_VERSION_D));
        });
        result.push_back(mark(table, s, "versionD", VELKOR_INFO_VERSION_D, involved, "does not match",
                              of("versionA", VELKOR_INFO_VERSION_A)));
    }
    return result;
}

}  // namespace

std::string version_text(std::uint32_t version) {
    if (version == kWildcard) return "Don't care";
    return std::to_string(version >> 24) + "." + std::to_string(version >> 16 & 0xFF) + "." +
           std::to_string(version >> 8 & 0xFF) + "." + std::to_string(version & 0xFF);
}

std::uint32_t block_word(const InfoBlock &block, int offset) { return firmware_block_word(block.data(), offset); }

bool is_empty_sector(const InfoBlock &block) { return block_word(block, VELKOR_INFO_ID) == kEmptyId; }

std::string kind_text(const InfoBlock &block) {
    const std::uint32_t id = block_word(block, VELKOR_INFO_ID);
    if (id == kEmptyId) return "empty";
    if (id <= 2) return "kind-" + std::to_string(id);
    return "application";
}

std::string name_text(const InfoBlock &block) {
    const auto *name = reinterpret_cast<const char *>(block.data() + VELKOR_INFO_NAME);
    std::size_t length = 0;
    while (length < kNameSize && name[length] != '\0') ++length;
    return printable_text(std::string_view(name, length));
}

std::string contents_text(const InfoBlock &block) {
    if (is_empty_sector(block)) return "empty";
    return kind_text(block) + " id " + std::to_string(block_word(block, VELKOR_INFO_ID)) + " '" + name_text(block) + "'";
}

std::string entry_name(const FlashTable &table, std::size_t sector) {
    return sector_label(sector) + " '" + name_text(table.sectors[sector]) + "'";
}

std::string table_text(const FlashTable &table) {
    std::string text;
    for (std::size_t k = 0; k < table.sectors.size(); ++k) text += entry_line(table, k) + "\n";
    return text + "area " + std::to_string(table.sectors.size()) + "  staging area\n";
}

std::string table_json(const FlashTable &table) {
    Json document;
    if (!table.device.empty()) document["device"] = table.device;
    document["sectorCount"] = table.sectors.size();
    document["stagingArea"] = table.sectors.size();
    document["sectors"] = Json::array();
    for (std::size_t k = 0; k < table.sectors.size(); ++k) document["sectors"].push_back(entry_json(table, k));
    return dump(document);
}

FlashTable table_from_json(const std::string &text) {
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error &error) {
        throw TableError(std::string("not valid JSON: ") + error.what());
    }
    if (!document.is_object() || !document.contains("sectors") || !document.at("sectors").is_array())
        throw TableError("sectors: expected the list of sectors that drova flash --json writes");
    const Json &sectors = document.at("sectors");
    if (sectors.size() > kMostSectors) throw TableError("sectors: more than 255");
    FlashTable table;
    if (document.contains("device") && document.at("device").is_string()) table.device = document.at("device");
    for (std::size_t k = 0; k < sectors.size(); ++k) table.sectors.push_back(read_sector(sectors[k], k));
    for (const char *key : {"sectorCount", "stagingArea"})
        if (document.contains(key) && document.at(key) != sectors.size())
            throw TableError(std::string(key) + ": expected " + std::to_string(sectors.size()) +
                             ", the number of sectors listed");
    return table;
}

std::vector<Verdict> check_table(const FlashTable &table, decltype(&::_ConsistencyCheck) check) {
    // The check reads the blocks through the tree's records; it gets copies.
    std::vector<InfoBlock> blocks = table.sectors;
    std::vector<FirmwareEntry> entries(blocks.size());
    std::vector<FirmwareTreeNode> nodes(blocks.size() * FIRMWARE_TREE_NODES_PER_SECTOR);
    FirmwareTree tree;
    firmware_tree_init(&tree, nodes.data(), static_cast<int>(nodes.size()));
    std::vector<int> tops;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        entries[k].block = blocks[k].data();
        tops.push_back(firmware_tree_add_sector(&tree, &entries[k]));
    }
    std::vector<Verdict> verdicts;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (is_empty_sector(table.sectors[k])) continue;
        check(&tree.tree, firmware_tree_handle(&tree, tops[k]), kMarked);
        verdicts.push_back({k, {}});
    }
    // Every mark lands below the entry checked: read them once all ran.
    for (auto &verdict : verdicts)
        verdict.marks = words(table, verdict.sector, firmware_tree_marks(&tree, tops[verdict.sector], kMarked));
    return verdicts;
}

std::size_t marked_count(const std::vector<Verdict> &verdicts) {
    return static_cast<std::size_t>(
        std::count_if(verdicts.begin(), verdicts.end(), [](const Verdict &verdict) { return !verdict.marks.empty(); }));
}

std::string verdicts_text(const FlashTable &table, const std::vector<Verdict> &verdicts) {
    std::string text;
    for (const auto &verdict : verdicts) {
        text += entry_line(table, verdict.sector) + "\n";
        for (const auto &mark : verdict.marks)
            text += "  " + entry_name(table, verdict.sector) + ": " + mark.text + "\n";
    }
    const std::size_t marked = marked_count(verdicts);
    if (verdicts.empty()) return text + "check: no firmware in the table\n";
    return text + "check: " + std::to_string(verdicts.size()) + (verdicts.size() == 1 ? " entry, " : " entries, ") +
           (marked == 0 ? std::string("nothing marked") : std::to_string(marked) + " marked") + "\n";
}

std::string verdicts_json(const FlashTable &table, const std::vector<Verdict> &verdicts) {
    Json entries = Json::array();
    for (const auto &verdict : verdicts) {
        Json entry = entry_json(table, verdict.sector);
        entry["marks"] = Json::array();
        for (const auto &mark : verdict.marks)
            entry["marks"].push_back(
                {{"field", mark.field}, {"offset", mark.offset}, {"involved", mark.involved}, {"text", mark.text}});
        entries.push_back(std::move(entry));
    }
    Json document;
    if (!table.device.empty()) document["device"] = table.device;
    document["sectorCount"] = table.sectors.size();
    document["checked"] = verdicts.size();
    document["marked"] = marked_count(verdicts);
    document["entries"] = std::move(entries);
    return dump(document);
}

}  // namespace drova
