#include "record_verify.h"

#include "download_preflight.h"
#include "exit_codes.h"
#include "required_exports.h"

namespace drova {

std::vector<RecordCheck> check_records(DeviceSession &session, const Image &image, unsigned target) {
    const VelkorApi &api = session.api();
    require(api, {"_CheckSum"});
    const auto records = stream_records(image.blocks, target);
    std::vector<RecordCheck> checks;
    for (std::size_t k = 0; k < records.size(); ++k) {
        const StreamRecord &record = records[k];
        RecordCheck &check = checks.emplace_back(RecordCheck{record, true});
        try {
            session.run("checksum of " + record_name(k, records.size()), VELKOR_EV_CHECKSUM, [&] {
                return api._CheckSum((std::uint64_t{target} << 32) | record.offset, record.length, record.checksum,
                                     static_cast<int>(target));
            });
        } catch (const Failure &failure) {
            // The device's checksum differs: the library finds its answer invalid.
            if (failure.exit_code() != exit_code::kOperationFailed + VELKOR_EV_CHECKSUM) throw;
            check.matches = false;
        }
    }
    return checks;
}

std::string record_name(std::size_t index, std::size_t count) {
    return "record " + std::to_string(index + 1) + " of " + std::to_string(count);
}

std::string record_extent(const StreamRecord &record) {
    if (record.block == nullptr) return "end record";
    return address_range(record.block->address, record.block->end()) + ", " +
           std::to_string(record.block->data.size()) + " bytes";
}

}  // namespace drova
