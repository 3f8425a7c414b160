// A device's flash sector table as drova shows, saves and checks it: the
// 168-byte blocks exactly as the library copied them, one per sector, in
// sector order. Area N (the sector count) is the staging area.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"

namespace drova {

using InfoBlock = std::array<std::uint8_t, VELKOR_INFO_BLOCK_SIZE>;

// A saved table that cannot be read, with where in the file.
class TableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FlashTable {
    std::vector<InfoBlock> sectors;
    std::string device;  // who it came from, for the saved file; may be empty
};

// "A.B.C.D", or "Don't care" for the wildcard.
std::string version_text(std::uint32_t version);

std::uint32_t block_word(const InfoBlock &block, int offset);
bool is_empty_sector(const InfoBlock &block);
// "empty", "kind-0", "kind-1", "kind-2" or "application".
std::string kind_text(const InfoBlock &block);
// The name field up to its first zero byte, bytes outside printable ASCII
// (and the backslash) written as \xNN (\\).
std::string name_text(const InfoBlock &block);
// What a sector holds: "empty", or e.g. "application id 4711 'Motor control'".
std::string contents_text(const InfoBlock &block);
// "sector 3 'Motor control'", how the check's words name an entry.
std::string entry_name(const FlashTable &table, std::size_t sector);

// One line per sector and one for the staging area.
std::string table_text(const FlashTable &table);
// The same as a JSON document, which table_from_json reads back.
std::string table_json(const FlashTable &table);
// Rebuilds the blocks (id, name, versions) from table_json's document.
// Throws TableError naming the key that is wrong.
FlashTable table_from_json(const std::string &text);

// What the consistency check marked at one entry, in words.
struct Mark {
    std::string field;                  // "id", "versionB", "versionC", "versionD"
    int offset = 0;                     // the VELKOR_INFO_* offset of the field
    std::vector<std::size_t> involved;  // the other sectors it conflicts with, where they can be named
    std::string text;                   // e.g. "versionC 1.2.0.0 offered by no kind-2 entry"
};

struct Verdict {
    std::size_t sector = 0;
    std::vector<Mark> marks;
};

// Runs `check` (the library's _ConsistencyCheck) for every non-empty sector
// over one tree of the whole table and puts into words what it marked.
std::vector<Verdict> check_table(const FlashTable &table, decltype(&::_ConsistencyCheck) check);
// How many entries got a mark.
std::size_t marked_count(const std::vector<Verdict> &verdicts);
std::string verdicts_text(const FlashTable &table, const std::vector<Verdict> &verdicts);
std::string verdicts_json(const FlashTable &table, const std::vector<Verdict> &verdicts);

}  // namespace drova
