// The session's state of a download: the records still to go, the record in
// transfer, and where the sequence stands. Touched only by the step in
// flight, under the exchange guard; whether it runs, and a stop, can be
// asked and set from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "model/wire_values.h"
#include "model/bin_list.h"

namespace velkor {

struct DownloadSequence {
    std::deque<OwnedBlock> waiting;  // records after the current one, in stream order
    OwnedBlock current;              // the record (or _PrgData block) in transfer
    std::atomic<int> remaining{0};   // records not yet finished, the current one included; 0: no download
    int target = 0;                  // the area the records end up in
    int staging = 0;                 // area N, where each record is checked first
    bool programmed = false;         // the current record has been programmed into the target
    std::uint32_t sent = 0;          // bytes of `current` already sent
    OnesComplementSum sent_sum;      // of those bytes, summed as they were copied into the frames
    std::atomic<bool> stopping{false};  // the host asked it to stop after the step in flight

    bool running() const { return remaining != 0; }
    void end() {
        remaining = 0;
        waiting.clear();
        stopping = false;
    }
};

}  // namespace velkor
