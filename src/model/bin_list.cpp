#include "model/bin_list.h"

namespace velkor {

OwnedBlock copy_block(const BinBlock &block) {
    OwnedBlock copy;
    copy.address = block.Address;
    copy.data.assign(block.Data, block.Data + block.Length);
    return copy;
}

}  // namespace velkor
