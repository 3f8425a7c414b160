// Faults that a simulated device can be told to commit, each bound to an
// opcode (or every opcode) and to a run of occurrences of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velkor::sim {

enum class FaultKind {
    // Before the command runs:
    no_answer,      // the frame is ignored: not carried out, not answered
    refuse,         // connect/disconnect: code 228 and a record; others: the three-byte refusal
    answer_230,     // connect: answered with code 230 and the search block, not carried out
    // The command runs, then its answer is changed:
    wrong_length,   // amount bytes added to the body (negative: removed); default +1
    corrupt_byte,   // the body byte at amount (negative: from the end; default -1) is inverted
    wrong_checksum, // checksum answer: the checksum is off by one
    flash_count,    // flash information: every frame of the answer reports amount blocks (default: one more than sent)
    channel,        // the answer goes out on channel amount (default 5)
    length_zero,    // the header says length 0
    short_frame,    // only the first amount bytes of the frame are delivered (default 20)
    length_beyond,  // the header claims amount more bytes than delivered (default 16)
    oversize,       // the frame is padded to amount bytes (default 600)
    extra_frames,   // amount copies of the frame follow it (default 1)
    // How the answers travel:
    lost_answer,    // carried out, nothing delivered
    late_answer,    // held back; delivered before the answers to the same host's next frame, or,
                    // on a socket, unsolicited to that host after amount ms when amount is set
    delay,          // delivered after amount ms (on a socket other hosts are served meanwhile;
                    // in process the write takes that long)
    unplug,         // the device vanishes after delivering amount frames (default 0); on a
                    // socket every host's connection is cut
};

const char *fault_kind_name(FaultKind kind);
std::optional<FaultKind> fault_kind_from_name(const std::string &name);

struct FaultRule {
    FaultKind kind = FaultKind::no_answer;
    std::optional<std::uint8_t> opcode;  // none: any frame
    std::uint32_t skip = 0;              // matching frames let through before the fault starts
    std::uint32_t times = 1;             // matching frames affected after that; 0: all of them
    std::optional<std::int64_t> amount;  // see FaultKind
    int frame = 0;                       // which answer frame of the exchange; -1: every one
};

// The rules of one device and how many matching frames each has seen.
class FaultPlan {
public:
    void add(const FaultRule &rule) { rules_.push_back({rule, 0}); }
    void clear() { rules_.clear(); }
    bool empty() const { return rules_.empty(); }

    // Counts one host frame (opcode none when the frame is malformed) and
    // returns the rules due for it, in the order they were added. Rules whose
    // run has ended are dropped.
    std::vector<FaultRule> on_frame(std::optional<std::uint8_t> opcode);

private:
    struct Entry {
        FaultRule rule;
        std::uint32_t seen;
    };
    std::vector<Entry> rules_;
};

}  // namespace velkor::sim
