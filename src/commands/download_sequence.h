// The session's state of a download: the records still to go, the record in
// transfer, and where the sequence stands. Touched only by the step in
// flight, under the exchange guard.
#pragma once

#include <cstdint>
#include <deque>

#include "commands/bin_list.h"

namespace velkor {

struct DownloadSequence {
    std::deque<OwnedBlock> waiting;  // records after the current one, in stream order
    OwnedBlock current;              // the record (or _PrgData block) in transfer
    int remaining = 0;               // records not yet finished, the current one included; 0: no download
    int target = 0;                  // the area the records end up in
    int staging = 0;                 // area N, where each record is checked first
    bool programmed = false;         // the current record has been programmed into the target
    std::uint32_t sent = 0;          // bytes of `current` already sent

    bool running() const { return remaining != 0; }
};

}  // namespace velkor
