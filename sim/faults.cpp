#include "faults.h"

#include <algorithm>
#include <iterator>

namespace velkor::sim {

namespace {

struct KindName {
    FaultKind kind;
    const char *name;
};

constexpr KindName kKindNames[] = {
    {FaultKind::no_answer, "no_answer"},
    {FaultKind::refuse, "refuse"},
    {FaultKind::answer_230, "answer_230"},
    {FaultKind::wrong_length, "wrong_length"},
    {FaultKind::corrupt_byte, "corrupt_byte"},
    {FaultKind::wrong_checksum, "wrong_checksum"},
    {FaultKind::flash_count, "flash_count"},
    {FaultKind::channel, "channel"},
    {FaultKind::length_zero, "length_zero"},
    {FaultKind::short_frame, "short_frame"},
    {FaultKind::length_beyond, "length_beyond"},
    {FaultKind::oversize, "oversize"},
    {FaultKind::extra_frames, "extra_frames"},
    {FaultKind::lost_answer, "lost_answer"},
    {FaultKind::late_answer, "late_answer"},
    {FaultKind::delay, "delay"},
    {FaultKind::unplug, "unplug"},
};

}  // namespace

const char *fault_kind_name(FaultKind kind) {
    for (const auto &entry : kKindNames)
        if (entry.kind == kind) return entry.name;
    return "?";
}

std::optional<FaultKind> fault_kind_from_name(const std::string &name) {
    for (const auto &entry : kKindNames)
        if (name == entry.name) return entry.kind;
    return std::nullopt;
}

std::vector<FaultRule> FaultPlan::on_frame(std::optional<std::uint8_t> opcode) {
    std::vector<FaultRule> due;
    for (auto &entry : rules_) {
        if (entry.rule.opcode && entry.rule.opcode != opcode) continue;
        ++entry.seen;
        if (entry.seen > entry.rule.skip) due.push_back(entry.rule);
    }
    std::erase_if(rules_, [](const Entry &entry) {
        return entry.rule.times != 0 && entry.seen >= std::uint64_t{entry.rule.skip} + entry.rule.times;
    });
    return due;
}

}  // namespace velkor::sim
