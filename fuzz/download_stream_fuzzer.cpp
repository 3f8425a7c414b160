// The download stream over any list of blocks (any addresses, sizes from 0,
// overlaps, hundreds of blocks) and any target area, against a device that
// checks every frame it is sent against the stream it expects and answers
// each step as a healthy device does: the library must send exactly the
// records, chunks, checksums and program steps of that stream, and the host
// must get exactly the events of a complete download. The checksum itself
// is compared with an independent computation on the raw input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "model/wire_values.h"
#include "driven_session.h"
#include "model/byte_order.h"
#include "fuzz_input.h"
#include "support/scripted_device.h"

namespace velkor::fuzzing {
namespace {

using testing::Block;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSerial = 0x123456;
constexpr int kSectors = 3;  // the staging area is area 3
constexpr std::size_t kMaxChunk = 480;
// Enough for records of several chunks and streams of many records; more
// would only repeat the same steps and slow every input down.
constexpr std::size_t kMaxStreamBytes = 8 * 1024;
constexpr std::size_t kMostBlocks = 24;

// The one's-complement sum as the plain sum folded into 8 bits: 0 only for
// a zero sum, 0xFF for any other multiple of 255. Then complemented.
std::uint8_t folded_checksum(const std::uint8_t *bytes, std::size_t size) {
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < size; ++k) sum += bytes[k];
    const std::uint64_t folded = sum == 0 ? 0 : 1 + (sum - 1) % 255;
    return static_cast<std::uint8_t>(~folded);
}

void check_checksum(const std::uint8_t *data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const std::uint8_t checksum = ones_complement_checksum(bytes);
    if (checksum != folded_checksum(data, size)) fail("the checksum differs from the folded byte sum");
    Bytes sealed(data, data + size);
    sealed.push_back(checksum);
    if (ones_complement_checksum(sealed) != 0) fail("bytes followed by their checksum do not sum to zero");
    const Bytes reversed(bytes.rbegin(), bytes.rend());
    if (ones_complement_checksum(reversed) != checksum) fail("the checksum depends on the order of the bytes");
}

void put_be32(Bytes &out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Commands one after the other in one buffer, each ending where `ends`
// says: one allocation per input rather than one per frame.
struct Commands {
    Bytes bytes;
    std::vector<std::size_t> ends;

    void add(const std::uint8_t *command, std::size_t size) {
        bytes.insert(bytes.end(), command, command + size);
        ends.push_back(bytes.size());
    }
    void add(std::initializer_list<std::uint8_t> command) { add(command.begin(), command.size()); }
    Bytes at(std::size_t k) const {
        if (k >= ends.size()) return {};
        const std::size_t from = k == 0 ? 0 : ends[k - 1];
        return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(ends[k]));
    }
    bool operator==(const Commands &) const = default;
};

void add_place(Commands &commands, std::uint8_t opcode, std::uint8_t area, std::uint32_t offset) {
    commands.add({opcode, area, static_cast<std::uint8_t>(offset >> 24), static_cast<std::uint8_t>(offset >> 16),
                  static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)});
}

void add_checksum(Commands &commands, std::uint8_t area, std::uint32_t offset, std::uint32_t length) {
    commands.add({0xEF, area, static_cast<std::uint8_t>(offset >> 24), static_cast<std::uint8_t>(offset >> 16),
                  static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                  static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                  static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
}

// The commands a device must receive for `blocks` downloaded into `target`,
// and the events the host must get.
struct Expected {
    Commands commands;
    std::vector<Event> events;
};

Expected expected_download(const std::vector<BinBlock> &blocks, int target) {
    Expected expected;
    Bytes records;
    std::vector<std::size_t> record_ends;
    for (const BinBlock &block : blocks) {
        put_be32(records, block.Address);
        put_be32(records, block.Length);
        records.insert(records.end(), block.Data, block.Data + block.Length);
        record_ends.push_back(records.size());
    }
    if (target != 1) {
        records.insert(records.end(), 8, 0);
        record_ends.push_back(records.size());
    }
    const auto target_area = static_cast<std::uint8_t>(target);
    std::size_t from = 0;
    std::uint8_t chunk[1 + kMaxChunk];
    for (const std::size_t end : record_ends) {
        const auto offset = static_cast<std::uint32_t>(from);
        const auto length = static_cast<std::uint32_t>(end - from);
        if (length < 8) fail("a record without its header");
        add_place(expected.commands, 0xEC, kSectors, offset);
        for (std::size_t at = from; at < end; at += kMaxChunk) {
            const std::size_t size = std::min(end - at, kMaxChunk);
            chunk[0] = 0xED;
            std::copy_n(records.begin() + static_cast<std::ptrdiff_t>(at), size, chunk + 1);
            expected.commands.add(chunk, size + 1);
        }
        add_checksum(expected.commands, kSectors, offset, length);
        expected.events.insert(expected.events.end(), {{VELKOR_EV_ADDRESS, 0}, {VELKOR_EV_PRGDATA, 0},
                                                       {VELKOR_EV_CHECKSUM, 0}});
        if (target != kSectors) {
            add_place(expected.commands, 0xEE, target_area, offset);
            add_checksum(expected.commands, target_area, offset, length);
            expected.events.insert(expected.events.end(), {{VELKOR_EV_PROGRAM, 0}, {VELKOR_EV_CHECKSUM, 0}});
        }
        from = end;
    }
    expected.events.emplace_back(VELKOR_EV_DOWNLOAD, 0);
    return expected;
}

// A healthy device for the download steps: it keeps what it is sent and
// answers with the echo, the chunk length, or the checksum of what it holds
// at the place asked for.
class DownloadDevice final : public usb::InProcessDevice {
public:
    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<Block> &answers) override {
        answer(data, size, answers);
        return true;
    }

private:
    // One allocation per answer: the frame itself.
    static void reply(std::vector<Block> &answers, const std::uint8_t *body, std::size_t size) {
        Block &frame = answers.emplace_back(20 + size, 0);
        store_be32(frame.data() + 4, static_cast<std::uint32_t>(size));
        store_be32(frame.data() + 16, static_cast<std::uint32_t>(size));
        std::copy_n(body, size, frame.begin() + 20);
    }
    static void reply(std::vector<Block> &answers, std::initializer_list<std::uint8_t> body) {
        reply(answers, body.begin(), body.size());
    }

    void answer(const std::uint8_t *frame, std::size_t size, std::vector<Block> &answers) {
        if (size < 21) {
            malformed_ = true;
            return;
        }
        const std::uint32_t length = load_be32(frame + 4);
        const std::uint8_t *bytes = frame + 20;
        const std::uint8_t opcode = bytes[0];
        if (recording_) received_.add(bytes, std::min<std::size_t>(length, size - 20));
        if (!well_formed(frame, size, length)) malformed_ = true;
        switch (opcode) {
        case 0xE6: {
            Bytes body{0xE6};
            const Bytes report = testing::device_report(kSerial);
            body.insert(body.end(), report.begin(), report.end());
            reply(answers, body.data(), body.size());
            return;
        }
        case 0xE0:
            reply(answers, {0xE2, bytes[2], bytes[3], bytes[4], bytes[5]});
            return;
        case 0xE7:
            answers = flash_table();
            return;
        case 0xEC:
            area_ = bytes[1];
            offset_ = load_be32(bytes + 2);
            stream_.clear();
            reply(answers, bytes, 6);
            return;
        case 0xED: {
            stream_.insert(stream_.end(), bytes + 1, bytes + length);
            const std::uint32_t chunk = length - 1;
            reply(answers, {0xED, static_cast<std::uint8_t>(chunk >> 24), static_cast<std::uint8_t>(chunk >> 16),
                            static_cast<std::uint8_t>(chunk >> 8), static_cast<std::uint8_t>(chunk)});
            return;
        }
        case 0xEE:
            reply(answers, {0xEE, 0x00});
            return;
        case 0xEF:
            // Programming copies the record, so both areas hold the same bytes.
            reply(answers, {0xEF, folded_checksum(stream_.data(), stream_.size())});
            return;
        default:
            return;
        }
    }

public:
    void start_recording() {
        recording_ = true;
        received_ = {};
        malformed_ = false;
    }
    void stop_recording() { recording_ = false; }
    // What one input had the device keep goes with that input: an input that
    // leaves allocations behind for the next one makes libFuzzer hunt leaks.
    void forget() { received_ = {}; }
    const Commands &received() const { return received_; }
    bool malformed() const { return malformed_; }

private:
    // The header names the length twice, the reserved words are zero and
    // nothing but zeros follows the command bytes.
    static bool well_formed(const std::uint8_t *frame, std::size_t size, std::uint32_t length) {
        static constexpr std::uint8_t zeros[512] = {};
        if (size != 512 || length == 0 || length > 492) return false;
        return std::memcmp(frame, zeros, 4) == 0 && std::memcmp(frame + 8, zeros, 8) == 0 &&
               std::memcmp(frame + 16, frame + 4, 4) == 0 &&
               std::memcmp(frame + 20 + length, zeros, size - 20 - length) == 0;
    }

    static std::vector<Block> flash_table() {
        Bytes empty_sector(168, 0);
        std::fill_n(empty_sector.begin(), 4, 0xFF);
        std::vector<Block> frames;
        for (int first = 0; first < kSectors; first += 2) {
            Bytes body{0xE7, kSectors};
            for (int k = first; k < std::min(first + 2, kSectors); ++k)
                body.insert(body.end(), empty_sector.begin(), empty_sector.end());
            frames.push_back(testing::answer_frame(body));
        }
        return frames;
    }

    bool recording_ = false;
    bool malformed_ = false;
    Commands received_;
    std::uint8_t area_ = 0;
    std::uint32_t offset_ = 0;
    Bytes stream_;
};

class DownloadFuzzer {
public:
    DownloadFuzzer() {
        usb::attach_in_process_device("drova0", device_);
        _FindDROVAs(-1, 0, 1);
        driven_.run_out_period();
        if (_Connect(static_cast<int>(kSerial), 0, 0) != 0 || _FlashInfo() != 0) fail("could not prepare a device");
        driven_.end_step();
        driven_.flush();
        if (!_IsConnected()) fail("the device did not connect");
    }

    void run(FuzzInput &in) {
        const int target = in.byte() % 6 - 1;
        std::vector<Bytes> data;
        std::vector<BinBlock> blocks;
        // Mostly a few blocks; now and then dozens.
        const std::uint8_t count_class = in.byte();
        const std::size_t count = count_class < 224 ? count_class % 8 : in.u16() % (kMostBlocks + 1);
        std::size_t total = 0;
        for (std::size_t k = 0; k < count && total < kMaxStreamBytes; ++k) {
            const std::uint32_t address = in.u32();
            const std::uint8_t size_class = in.byte();
            const std::size_t size = size_class < 128 ? size_class % 16 : in.u16() % 1500;
            data.push_back(in.bytes(size));
            total += size;
            blocks.push_back({address, static_cast<u32>(size), data.back().data()});
        }
        for (const Bytes &bytes : data) check_checksum(bytes.data(), bytes.size());

        TBinList *list = _BinListCreate();
        for (const BinBlock &block : blocks) _BinListAdd(list, &block);
        struct Forget {
            DownloadDevice &device;
            ~Forget() { device.forget(); }
        } forget{*device_};
        device_->start_recording();
        const int result = _Download(target, list);
        _BinListFree(list);  // the library keeps its own copy
        device_->stop_recording();
        driven_.end_step();
        const StepEvents events = driven_.flush().at(0);

        // An area is one byte: -1 is refused as an empty list is.
        if (blocks.empty() || target < 0) {
            if (result != 1 || !events.empty() || !device_->received().ends.empty())
                fail("an empty block list or a target beyond a byte was not refused quietly");
            return;
        }
        if (result != 0) fail("a download to a connected device was refused");
        if (driven_.session().command.state() != kIdle) fail("the download did not end");
        if (device_->malformed()) fail("a frame with a bad header or stray bytes after its command");
        const Expected expected = expected_download(blocks, target);
        if (device_->received() != expected.commands) {
            const Commands &got = device_->received();
            std::fprintf(stderr, "%zu commands sent, %zu expected\n", got.ends.size(), expected.commands.ends.size());
            for (std::size_t k = 0; k < std::max(got.ends.size(), expected.commands.ends.size()); ++k) {
                const Bytes a = got.at(k);
                const Bytes b = expected.commands.at(k);
                if (a == b) continue;
                std::fprintf(stderr, "command %zu: got", k);
                for (std::size_t i = 0; i < std::min<std::size_t>(a.size(), 12); ++i) std::fprintf(stderr, " %02X", a[i]);
                std::fprintf(stderr, " (%zu), expected", a.size());
                for (std::size_t i = 0; i < std::min<std::size_t>(b.size(), 12); ++i) std::fprintf(stderr, " %02X", b[i]);
                std::fprintf(stderr, " (%zu)\n", b.size());
                break;
            }
            fail("the device was not sent the download stream");
        }
        if (events != expected.events) fail("the host did not get the events of a complete download");
    }

private:
    DrivenSession driven_;
    std::shared_ptr<DownloadDevice> device_ = std::make_shared<DownloadDevice>();
};

}  // namespace
}  // namespace velkor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static velkor::fuzzing::DownloadFuzzer fuzzer;
    velkor::fuzzing::FuzzInput input(data, size);
    fuzzer.run(input);
    return 0;
}
