// A DROVA device running its firmware operating system, as a pure function of
// the frames a host writes: one 512-byte frame in, zero or more answer blocks
// out. It keeps the device information block, the flash sectors and the
// staging area, the claim of one host, and a log of every frame.
//
// What the device does beyond the answers a host relies on:
// - Sectors 0..N-1 are flash (programming only clears bits, so a sector is
//   erased before it is written); area N, the staging area, is RAM and is
//   erased by a reset or a power cycle. Erased memory reads 0xFF.
// - A sector holds a download stream as the host wrote it: record headers
//   (address, length; 8 bytes) and data. The sector's information block is
//   the first 168 data bytes of its first record, at offset 8. An erased
//   sector therefore lists id 0xFFFFFFFF.
// - Program (area, offset) copies the record that starts at that offset of
//   the staging area (its 8-byte header and the length it gives) into the
//   area at the same offset.
// - Every command but connect, disconnect, the acknowledgements, keep-alive,
//   the query and reset needs the device claimed. A command the device cannot
//   carry out is answered with three bytes: its opcode, 0xFF and a Refusal.
// - The claim belongs to the host identifier of the connect, not to a link:
//   the host may close and reopen its link between commands. A connect with
//   the holder's identifier is accepted again; disconnect, reset, a started
//   application 10 and (when configured) a claim time-out release it.
// - Several hosts may reach the device at once (a daemon's endpoint takes
//   several connections). Each frame comes with the identity of the host
//   that wrote it, a 64-bit number: the daemon passes the peer's process id,
//   and 0 stands for every host the transport cannot tell apart (in process,
//   always 0). The claim remembers its holder's identity: the query answers
//   the full block to the holder and the search block to every other host,
//   so a held device still shows in their searches and their connect gets
//   228; commands that need the claim are refused to them as not claimed,
//   their disconnect releases nothing, and only the holder's frames keep the
//   claim from lapsing.
// - A started application runs until a reset; starting another one meanwhile
//   gives result 0.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "faults.h"
#include "memory_area.h"
#include "wire.h"

namespace velkor::sim {

// Why a command was refused (third byte of a refusal answer; word 0 of a
// connect/disconnect refusal record).
enum class Refusal : std::uint8_t {
    held_by_another_host = 1,  // connect only
    not_claimed = 2,
    bad_area = 3,
    out_of_range = 4,
    not_addressed = 5,
    bad_checksum = 6,
    unknown_application = 7,
    malformed = 8,
    unknown_command = 9,
    no_record = 10,  // program: the staging area holds no record at that offset
    on_request = 11, // a fault rule
};

struct ApplicationImage {
    std::uint8_t sector = 0;
    AppInfoFields info;
    std::uint32_t payload_size = 0;  // image bytes after the information block
};

// How the device answers a start of one application id instead of looking
// at its flash: the result code, and the features reported with result 8.
struct StartBehaviour {
    std::uint32_t result = 8;
    std::optional<std::array<std::uint8_t, 4>> features;
};

inline constexpr std::uint32_t kDefaultClaimTimeoutMs = 30000;

struct DeviceConfig {
    std::string name = "DROVA simulated device";  // at most 63 characters
    std::uint32_t fos_ifc_version = 0x01010000;
    std::uint32_t hw_version = 0x01000000;
    std::uint32_t status = 0;
    std::uint32_t serial_word = 0x8D0123;  // KV47D00291; reported as is, only the low 24 bits are the serial number
    std::uint32_t autostart_app_id = kEmptyId;
    std::uint32_t reserved = 0;
    unsigned sectors = 8;  // 0..255; the staging area is area `sectors`
    std::uint32_t sector_size = 0x10000;
    std::uint32_t staging_size = 0x10000;
    // A holder that sends nothing for this long is taken for gone (a host that
    // crashed while connected), and its claim lapses; 0: it lasts until released.
    std::uint32_t claim_timeout_ms = kDefaultClaimTimeoutMs;
    // Sector blocks per flash information frame, 1..3. Two keep a frame
    // (20 + 2 + 2 * 168 = 358 bytes) within a 512-byte transfer; three make
    // a 526-byte frame.
    unsigned flash_blocks_per_frame = 2;
    std::vector<ApplicationImage> applications;
    std::map<std::uint32_t, StartBehaviour> start_behaviour;  // by application id
};

// Empty when the configuration can be served; otherwise what is wrong.
std::string check_config(const DeviceConfig &config);

struct LogEntry {
    enum class Kind { host_frame, device_frame, note };
    Kind kind;
    Bytes bytes;       // the frame as written / delivered
    std::string note;  // for notes, and what happened to a frame
};

// One line for a human ("host> E6 query n=1", "dev<  E6 body 89"), with a hex
// dump of the frame's meaningful bytes when `hex` is set.
std::string describe(const LogEntry &entry, bool hex = false);

// What the device sends back for one host frame.
struct Exchange {
    std::vector<Bytes> answers;     // in order, each one block
    bool unplugged = false;         // the device is gone after `answers`
    std::uint32_t delay_ms = 0;     // send the answers after this long
    std::uint32_t late_after_ms = 0;  // answers held back now may be sent unsolicited after this long
};

struct ClaimState {
    bool claimed = false;
    std::array<std::uint8_t, 4> holder{};  // identifier bytes as the connect carried them
    std::uint8_t mode = 0;
    std::uint64_t host = 0;  // identity of the host whose connect was accepted last
};

// Thread-safe: every member locks the device.
class DeviceModel {
public:
    // Throws std::invalid_argument when check_config finds a fault.
    explicit DeviceModel(DeviceConfig config = {});

    // One block written by the host known as `host` (see above). Answers a
    // late_answer fault held back from that host's last frame come first.
    Exchange host_block(std::span<const std::uint8_t> block, std::uint64_t host = 0);
    // Answers held back from `host`, taken out for unsolicited delivery, or
    // for a transport that keeps them with the link they were meant for.
    std::vector<Bytes> take_held_answers(std::uint64_t host = 0);

    // `host` opened / closed a link to the device. Held answers belong to the
    // link and are dropped with it. A transport that keeps them with its own
    // connections (the daemon) takes them after every frame and needs neither.
    void link_opened(std::uint64_t host = 0);
    void link_closed(std::uint64_t host = 0);

    // The device is pulled out: every host frame fails until it is plugged in
    // again, which is a power cycle (claim, staging area and running
    // application lost; flash and settings kept).
    void unplug();
    void replug();
    bool unplugged() const;

    void add_fault(const FaultRule &rule);
    void clear_faults();

    ClaimState claim() const;
    std::uint32_t serial_word() const;
    std::uint32_t autostart_app_id() const;
    std::optional<std::uint32_t> running_application() const;
    unsigned sector_count() const;
    // Area `sector_count()` is the staging area. Empty for an unknown area or range.
    Bytes read_memory(unsigned area, std::uint32_t address, std::uint32_t length) const;
    std::array<std::uint8_t, kInfoBlockSize> sector_info_block(unsigned sector) const;
    // Writes an application image into an erased sector as a download would.
    void install_application(const ApplicationImage &application);

    std::vector<LogEntry> log() const;
    void clear_log();
    // Called for every entry as it is made (with the device locked); the
    // in-memory log keeps the last `log_limit` entries.
    void set_log_sink(std::function<void(const LogEntry &)> sink);
    void set_log_limit(std::size_t entries);

    // Raised by every change that a restart should keep (flash, serial
    // number, automatic start).
    std::uint64_t persistent_generation() const;
    void save_state(std::ostream &out) const;
    // Throws std::runtime_error when the stream is no state of this geometry.
    void load_state(std::istream &in);

    // Milliseconds of a steady clock; used for the claim time-out.
    void set_clock(std::function<std::uint64_t()> now_ms);

private:
    struct Answer {
        Bytes body;
        std::uint32_t channel = 0;
    };

    std::vector<Answer> execute(const CommandFrame &frame, std::uint64_t host);
    std::vector<Answer> refusal(std::uint8_t opcode, Refusal why) const;
    Answer refusal_record(Refusal why) const;
    Bytes device_block(std::size_t size) const;
    std::optional<unsigned> find_application(std::uint32_t id) const;
    MemoryArea *area(unsigned number);
    void power_cycle();
    bool holds(std::uint64_t host) const;
    void release_claim(const char *why);
    void note(std::string text);
    void record(LogEntry entry);

    std::vector<Answer> connect(const CommandFrame &frame, std::uint64_t host);
    std::vector<Answer> disconnect(std::uint64_t host);
    std::vector<Answer> flash_info() const;
    std::vector<Answer> app_info(std::uint32_t id) const;
    std::vector<Answer> write_serial(std::span<const std::uint8_t> command);
    std::vector<Answer> auto_start(std::span<const std::uint8_t> command);
    std::vector<Answer> erase(std::uint8_t sector);
    std::vector<Answer> address(std::span<const std::uint8_t> command);
    std::vector<Answer> data(std::span<const std::uint8_t> chunk);
    std::vector<Answer> program(std::span<const std::uint8_t> command);
    std::vector<Answer> checksum(std::span<const std::uint8_t> command);
    std::vector<Answer> start_app(std::uint32_t id);

    mutable std::mutex mutex_;
    DeviceConfig config_;
    std::uint32_t serial_word_;
    std::uint32_t autostart_app_id_;
    std::vector<MemoryArea> areas_;  // sectors, then the staging area
    ClaimState claim_;
    std::uint64_t last_holder_frame_ms_ = 0;
    std::optional<std::pair<unsigned, std::uint32_t>> write_pointer_;  // area, address
    std::optional<std::uint32_t> running_app_;
    bool unplugged_ = false;
    std::map<std::uint64_t, std::vector<Bytes>> held_;  // by host
    FaultPlan faults_;
    std::uint64_t generation_ = 0;
    std::deque<LogEntry> log_;
    std::size_t log_limit_ = 4096;
    std::function<void(const LogEntry &)> log_sink_;
    std::function<std::uint64_t()> now_ms_;
};

}  // namespace velkor::sim
