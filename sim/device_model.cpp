#include "device_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <istream>
#include <ostream>
#include <stdexcept>

namespace velkor::sim {

namespace {

constexpr std::uint32_t kMaxAreaSize = 0x10000000;  // 256 MiB
constexpr std::uint32_t kMinAreaSize = kRecordHeaderSize + kInfoBlockSize;
constexpr std::size_t kMaxDataChunk = 480;
constexpr char kStateMagic[8] = {'D', 'R', 'O', 'V', 'A', 'S', 'I', 'M'};
constexpr std::uint32_t kStateVersion = 1;

// Command length (opcode and payload) each opcode must have; data chunks vary.
std::size_t command_length(std::uint8_t opcode) {
    switch (opcode) {
    case kConnect: return 479;
    case kConnectAck: case kAppInfo: case kWriteSerial: case kAutoStart: case kStartApp: return 5;
    case kErase: case kReset: return 2;
    case kAddress: case kProgram: return 6;
    case kChecksum: return 10;
    default: return 1;
    }
}

// A fault's amount, or its default, kept within sane bounds.
std::int64_t amount_of(const FaultRule &rule, std::int64_t fallback, std::int64_t low = 0, std::int64_t high = 65536) {
    return std::clamp(rule.amount.value_or(fallback), low, high);
}

std::uint32_t get_le32(const std::uint8_t *at) {
    return at[0] | (std::uint32_t{at[1]} << 8) | (std::uint32_t{at[2]} << 16) | (std::uint32_t{at[3]} << 24);
}

std::string hex_bytes(std::span<const std::uint8_t> bytes, std::size_t limit) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < std::min(bytes.size(), limit); ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", bytes[i]);
        out += buf;
    }
    if (bytes.size() > limit) out += " ...";
    return out;
}

std::string code_text(std::uint8_t code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", code);
    const char *name = opcode_name(code);
    return name ? std::string(buf) + " " + name : std::string(buf);
}

void write_u32(std::ostream &out, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    out.write(bytes, 4);
}

std::uint32_t read_u32(std::istream &in) {
    std::uint8_t bytes[4];
    if (!in.read(reinterpret_cast<char *>(bytes), 4)) throw std::runtime_error("state file is cut short");
    return get_le32(bytes);
}

}  // namespace

std::string check_config(const DeviceConfig &config) {
    if (config.name.size() > 63) return "device name longer than 63 characters";
    if (config.sectors > 255) return "more than 255 flash sectors";
    if (config.flash_blocks_per_frame < 1 || config.flash_blocks_per_frame > 3)
        return "flash blocks per frame must be 1, 2 or 3";
    for (auto [what, size] : {std::pair{"sector size", config.sector_size}, {"staging area size", config.staging_size}})
        if (size < kMinAreaSize || size > kMaxAreaSize)
            return std::string(what) + " " + std::to_string(size) + " outside " + std::to_string(kMinAreaSize) +
                   ".." + std::to_string(kMaxAreaSize);
    std::vector<bool> taken(config.sectors);
    for (const auto &app : config.applications) {
        const std::string which = "application " + std::to_string(app.info.id);
        if (app.sector >= config.sectors) return which + ": no sector " + std::to_string(app.sector);
        if (taken[app.sector]) return which + ": sector " + std::to_string(app.sector) + " already holds one";
        taken[app.sector] = true;
        if (app.info.id == kEmptyId) return which + ": that id marks an empty sector";
        if (app.info.name.size() > 63) return which + ": name longer than 63 characters";
        const std::uint64_t stream = 2 * kRecordHeaderSize + kInfoBlockSize + std::uint64_t{app.payload_size};
        if (stream > config.sector_size) return which + ": image does not fit its sector";
    }
    return {};
}

std::string describe(const LogEntry &entry, bool hex) {
    std::string line;
    const std::span<const std::uint8_t> bytes = entry.bytes;
    switch (entry.kind) {
    case LogEntry::Kind::note:
        return "note  " + entry.note;
    case LogEntry::Kind::host_frame:
        if (auto frame = parse_command_frame(bytes)) {
            line = "host> " + code_text(frame->opcode()) + " n=" + std::to_string(frame->length);
            if (hex) line += " : " + hex_bytes(frame->command, 24);
        } else {
            line = "host> malformed block of " + std::to_string(bytes.size()) + " bytes";
        }
        break;
    case LogEntry::Kind::device_frame:
        if (auto body = answer_body(bytes)) {
            line = "dev<  " + code_text((*body)[0]) + " body " + std::to_string(body->size());
            if (get_be32(bytes.data()) != 0) line += " channel " + std::to_string(get_be32(bytes.data()));
            if (hex) line += " : " + hex_bytes(*body, 24);
        } else {
            line = "dev<  block of " + std::to_string(bytes.size()) + " bytes without a body";
        }
        break;
    }
    if (!entry.note.empty()) line += " (" + entry.note + ")";
    return line;
}

DeviceModel::DeviceModel(DeviceConfig config) : config_(std::move(config)) {
    if (auto problem = check_config(config_); !problem.empty()) throw std::invalid_argument(problem);
    serial_word_ = config_.serial_word;
    autostart_app_id_ = config_.autostart_app_id;
    areas_.reserve(config_.sectors + 1);
    for (unsigned i = 0; i < config_.sectors; ++i) areas_.emplace_back(MemoryArea::Kind::flash, config_.sector_size);
    areas_.emplace_back(MemoryArea::Kind::ram, config_.staging_size);
    for (const auto &app : config_.applications) install_application(app);
    now_ms_ = [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    };
}

Exchange DeviceModel::host_block(std::span<const std::uint8_t> block, std::uint64_t host) {
    std::lock_guard lock(mutex_);
    record({LogEntry::Kind::host_frame, Bytes(block.begin(), block.end()), {}});
    Exchange exchange;
    if (unplugged_) {
        note("no device: the write fails");
        exchange.unplugged = true;
        return exchange;
    }
    if (auto held = held_.find(host); held != held_.end()) {
        for (auto &late : held->second) {
            record({LogEntry::Kind::device_frame, late, "late"});
            exchange.answers.push_back(std::move(late));
        }
        held_.erase(held);
    }

    const auto frame = parse_command_frame(block);
    const auto opcode = frame ? std::optional<std::uint8_t>(frame->opcode()) : std::nullopt;
    const std::vector<FaultRule> due = faults_.on_frame(opcode);
    const auto fault = [&](FaultKind kind) -> const FaultRule * {
        auto it = std::find_if(due.begin(), due.end(), [kind](const FaultRule &r) { return r.kind == kind; });
        return it == due.end() ? nullptr : &*it;
    };
    for (const auto &rule : due) note(std::string("fault ") + fault_kind_name(rule.kind));

    const std::uint64_t now = now_ms_();
    if (claim_.claimed && config_.claim_timeout_ms != 0 && now - last_holder_frame_ms_ > config_.claim_timeout_ms)
        release_claim("claim timed out");
    // Another host's searches must not keep a forgotten claim alive.
    if (!claim_.claimed || claim_.host == host) last_holder_frame_ms_ = now;

    std::vector<Answer> answers;
    if (!frame)
        note("dropped: not a well-formed command frame");
    else if (fault(FaultKind::no_answer))
        note("frame ignored");
    else if (fault(FaultKind::refuse))
        answers = refusal(*opcode, Refusal::on_request);
    else if (*opcode == kConnect && fault(FaultKind::answer_230))
        answers.push_back({device_block(kSearchBlockSize), 0});
    else
        answers = execute(*frame, host);

    const auto selected = [](const FaultRule &rule, std::size_t index) {
        return rule.frame < 0 || static_cast<std::size_t>(rule.frame) == index;
    };
    for (const auto &rule : due) {
        for (std::size_t i = 0; i < answers.size(); ++i) {
            // A count that never matches has to be wrong in every frame.
            if (!selected(rule, i) && rule.kind != FaultKind::flash_count) continue;
            Bytes &body = answers[i].body;
            switch (rule.kind) {
            case FaultKind::wrong_length: {
                const std::int64_t delta = amount_of(rule, 1, -65536);
                if (delta >= 0)
                    body.insert(body.end(), static_cast<std::size_t>(delta), 0);
                else
                    body.resize(body.size() - std::min<std::size_t>(body.size(), static_cast<std::size_t>(-delta)));
                break;
            }
            case FaultKind::corrupt_byte: {
                const std::int64_t at = amount_of(rule, -1, -65536);
                const std::int64_t index = at < 0 ? static_cast<std::int64_t>(body.size()) + at : at;
                if (index >= 0 && index < static_cast<std::int64_t>(body.size())) body[index] ^= 0xFF;
                break;
            }
            case FaultKind::wrong_checksum:
                if (body.size() == 2 && body[0] == kChecksum) ++body[1];
                break;
            case FaultKind::flash_count:
                if (body.size() >= 2 && body[0] == kFlashInfo)
                    body[1] = static_cast<std::uint8_t>(amount_of(rule, config_.sectors + 1, 0, 255));
                break;
            case FaultKind::channel:
                answers[i].channel = static_cast<std::uint32_t>(amount_of(rule, 5, 0, 0xFFFFFFFF));
                break;
            default:
                break;
            }
        }
    }

    std::vector<Bytes> frames;
    for (const auto &answer : answers) frames.push_back(make_answer_frame(answer.body, answer.channel));
    for (const auto &rule : due) {
        for (std::size_t i = frames.size(); i-- > 0;) {
            if (!selected(rule, i)) continue;
            Bytes &f = frames[i];
            const auto body_length = static_cast<std::uint32_t>(f.size() - kHeaderSize);
            switch (rule.kind) {
            case FaultKind::length_zero:
                put_be32(&f[4], 0);
                break;
            case FaultKind::short_frame:
                f.resize(std::min<std::size_t>(f.size(), static_cast<std::size_t>(amount_of(rule, 20))));
                break;
            case FaultKind::length_beyond:
                put_be32(&f[4], body_length + static_cast<std::uint32_t>(amount_of(rule, 16)));
                put_be32(&f[16], body_length + static_cast<std::uint32_t>(amount_of(rule, 16)));
                break;
            case FaultKind::oversize:
                f.resize(std::max<std::size_t>(f.size(), static_cast<std::size_t>(amount_of(rule, 600))), 0);
                break;
            case FaultKind::extra_frames:
                frames.insert(frames.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                              static_cast<std::size_t>(amount_of(rule, 1, 0, 1000)), Bytes(f));
                break;
            default:
                break;
            }
        }
    }

    if (fault(FaultKind::lost_answer)) {
        if (!frames.empty()) note("answer lost");
        frames.clear();
    }
    if (const FaultRule *late = fault(FaultKind::late_answer)) {
        if (!frames.empty()) held_[host] = std::move(frames);
        frames.clear();
        exchange.late_after_ms = static_cast<std::uint32_t>(amount_of(*late, 0, 0, 600000));
    }
    if (const FaultRule *cut = fault(FaultKind::unplug)) {
        frames.resize(std::min<std::size_t>(frames.size(), static_cast<std::size_t>(amount_of(*cut, 0))));
        unplugged_ = true;
        exchange.unplugged = true;
        held_.clear();
    }
    if (const FaultRule *delay = fault(FaultKind::delay))
        exchange.delay_ms = static_cast<std::uint32_t>(amount_of(*delay, 0, 0, 600000));

    for (auto &f : frames) {
        record({LogEntry::Kind::device_frame, f, {}});
        exchange.answers.push_back(std::move(f));
    }
    if (exchange.unplugged) note("unplugged");
    return exchange;
}

std::vector<DeviceModel::Answer> DeviceModel::execute(const CommandFrame &frame, std::uint64_t host) {
    const std::span<const std::uint8_t> command = frame.command;
    const std::uint8_t op = command[0];
    if (op < kConnect || op > kReset || op == kRefused) return refusal(op, Refusal::unknown_command);
    const bool well_formed = op == kData ? command.size() <= kMaxDataChunk + 1 : command.size() == command_length(op);
    if (op == kConnectAck || op == kDisconnectAck || op == kReset) {
        if (!well_formed || (op == kReset && command[1] != kReset)) {
            note("malformed, ignored");
            return {};
        }
        if (op == kReset) {
            power_cycle();
            note("reset");
        }
        return {};
    }
    if (!well_formed) return refusal(op, Refusal::malformed);

    switch (op) {
    case kConnect: return connect(frame, host);
    case kDisconnect: return disconnect(host);
    case kKeepAlive: return {{{kKeepAlive}, 0}};
    case kQuery: return {{device_block(holds(host) ? kDeviceBlockSize : kSearchBlockSize), 0}};
    default: break;
    }
    if (!holds(host)) return refusal(op, Refusal::not_claimed);
    switch (op) {
    case kFlashInfo: return flash_info();
    case kAppInfo: return app_info(get_be32(&command[1]));
    case kWriteSerial: return write_serial(command);
    case kAutoStart: return auto_start(command);
    case kErase: return erase(command[1]);
    case kAddress: return address(command);
    case kData: return data(command.subspan(1));
    case kProgram: return program(command);
    case kChecksum: return checksum(command);
    case kStartApp: return start_app(get_be32(&command[1]));
    default: return refusal(op, Refusal::unknown_command);
    }
}

std::vector<DeviceModel::Answer> DeviceModel::refusal(std::uint8_t opcode, Refusal why) const {
    if (opcode == kConnect || opcode == kDisconnect) return {refusal_record(why)};
    return {{{opcode, 0xFF, static_cast<std::uint8_t>(why)}, 0}};
}

DeviceModel::Answer DeviceModel::refusal_record(Refusal why) const {
    Bytes body{kRefused};
    append_be32(body, static_cast<std::uint32_t>(why));
    append_be32(body, serial_word_);
    append_be32(body, claim_.mode);
    body.insert(body.end(), claim_.holder.begin(), claim_.holder.end());
    return {std::move(body), 0};
}

Bytes DeviceModel::device_block(std::size_t size) const {
    Bytes body(1 + size, 0);
    body[0] = kQuery;
    std::uint8_t *block = &body[1];
    put_be32(block + 0, config_.fos_ifc_version);
    std::copy(config_.name.begin(), config_.name.end(), block + 4);
    put_be32(block + 68, config_.status);
    put_be32(block + 72, serial_word_);
    put_be32(block + 76, config_.hw_version);
    put_be32(block + 80, autostart_app_id_);
    put_be32(block + 84, config_.reserved);
    return body;
}

std::vector<DeviceModel::Answer> DeviceModel::connect(const CommandFrame &frame, std::uint64_t host) {
    const auto command = frame.command;
    if (get_le32(&command[6]) != command.size()) return refusal(kConnect, Refusal::malformed);
    std::array<std::uint8_t, 4> id;
    std::copy_n(&command[2], 4, id.begin());
    if (claim_.claimed && claim_.holder != id) return {refusal_record(Refusal::held_by_another_host)};
    if (!claim_.claimed) note("claimed by host " + hex_bytes(id, 4));
    // The holder may come back from another process, e.g. after handing the device on.
    claim_ = {true, id, command[1], host};
    Bytes body{kConnectAck};
    body.insert(body.end(), id.begin(), id.end());
    return {{std::move(body), 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::disconnect(std::uint64_t host) {
    if (claim_.claimed && claim_.host != host)
        note("disconnect from a host that does not hold the device: claim kept");
    else
        release_claim("released by disconnect");
    return {{{kDisconnectAck}, 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::flash_info() const {
    const unsigned count = config_.sectors;
    std::vector<Answer> answers;
    unsigned sector = 0;
    do {
        Bytes body{kFlashInfo, static_cast<std::uint8_t>(count)};
        for (unsigned k = 0; k < config_.flash_blocks_per_frame && sector < count; ++k, ++sector) {
            const Bytes block = areas_[sector].read(kRecordHeaderSize, kInfoBlockSize);
            body.insert(body.end(), block.begin(), block.end());
        }
        answers.push_back({std::move(body), 0});
    } while (sector < count);
    return answers;
}

std::vector<DeviceModel::Answer> DeviceModel::app_info(std::uint32_t id) const {
    const auto sector = find_application(id);
    if (!sector) return {{{kAppInfo}, 0}};
    Bytes body{kAppInfo};
    const Bytes block = areas_[*sector].read(kRecordHeaderSize, kInfoBlockSize);
    body.insert(body.end(), block.begin(), block.end());
    return {{std::move(body), 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::write_serial(std::span<const std::uint8_t> command) {
    const std::uint32_t serial = get_be32(&command[1]) & 0xFFFFFFu;
    if (command[1] != serial_word_checksum(serial)) return refusal(kWriteSerial, Refusal::bad_checksum);
    serial_word_ = serial;
    ++generation_;
    return {{Bytes(command.begin(), command.end()), 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::auto_start(std::span<const std::uint8_t> command) {
    const std::uint32_t id = get_be32(&command[1]);
    if (id != kEmptyId && !find_application(id)) return refusal(kAutoStart, Refusal::unknown_application);
    autostart_app_id_ = id;
    ++generation_;
    return {{Bytes(command.begin(), command.end()), 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::erase(std::uint8_t sector) {
    MemoryArea *target = area(sector);
    if (!target) return refusal(kErase, Refusal::bad_area);
    target->erase();
    if (target->kind() == MemoryArea::Kind::flash) ++generation_;
    return {{{kErase, 0x00}, 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::address(std::span<const std::uint8_t> command) {
    const MemoryArea *target = area(command[1]);
    if (!target) return refusal(kAddress, Refusal::bad_area);
    const std::uint32_t at = get_be32(&command[2]);
    if (at >= target->size()) return refusal(kAddress, Refusal::out_of_range);
    write_pointer_ = {command[1], at};
    return {{Bytes(command.begin(), command.end()), 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::data(std::span<const std::uint8_t> chunk) {
    if (!write_pointer_) return refusal(kData, Refusal::not_addressed);
    auto &[number, at] = *write_pointer_;
    MemoryArea &target = areas_[number];
    if (!target.contains(at, chunk.size())) return refusal(kData, Refusal::out_of_range);
    target.write(at, chunk);
    at += static_cast<std::uint32_t>(chunk.size());
    if (target.kind() == MemoryArea::Kind::flash && !chunk.empty()) ++generation_;
    Bytes body{kData};
    append_be32(body, static_cast<std::uint32_t>(chunk.size()));
    return {{std::move(body), 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::program(std::span<const std::uint8_t> command) {
    MemoryArea *target = area(command[1]);
    if (!target) return refusal(kProgram, Refusal::bad_area);
    const MemoryArea &staging = areas_.back();
    const std::uint32_t at = get_be32(&command[2]);
    if (!staging.contains(at, kRecordHeaderSize)) return refusal(kProgram, Refusal::out_of_range);
    const Bytes header = staging.read(at, kRecordHeaderSize);
    if (std::all_of(header.begin(), header.end(), [](std::uint8_t b) { return b == 0xFF; }))
        return refusal(kProgram, Refusal::no_record);
    const std::uint64_t length = kRecordHeaderSize + std::uint64_t{get_be32(&header[4])};
    if (!staging.contains(at, length) || !target->contains(at, length))
        return refusal(kProgram, Refusal::out_of_range);
    if (target != &staging) {
        constexpr std::uint32_t kPiece = 0x10000;
        for (std::uint64_t done = 0; done < length; done += kPiece) {
            const auto offset = static_cast<std::uint32_t>(at + done);
            const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, length - done));
            target->write(offset, staging.read(offset, count));
        }
        ++generation_;
    }
    return {{{kProgram, 0x00}, 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::checksum(std::span<const std::uint8_t> command) {
    const MemoryArea *target = area(command[1]);
    if (!target) return refusal(kChecksum, Refusal::bad_area);
    const std::uint32_t at = get_be32(&command[2]);
    const std::uint32_t length = get_be32(&command[6]);
    if (!target->contains(at, length)) return refusal(kChecksum, Refusal::out_of_range);
    return {{{kChecksum, target->checksum(at, length)}, 0}};
}

std::vector<DeviceModel::Answer> DeviceModel::start_app(std::uint32_t id) {
    const auto answer = [](std::uint32_t result, std::array<std::uint8_t, 4> features) {
        Bytes body{kStartApp};
        append_be32(body, result);
        body.insert(body.end(), features.begin(), features.end());
        return std::vector<Answer>{{std::move(body), 0}};
    };
    constexpr std::array<std::uint8_t, 4> kNoFeatures{};
    constexpr std::uint32_t kStarted = 8, kAlreadyRunning = 0, kInvalidId = 1;
    constexpr std::uint32_t kLastSystemKind = 2, kEndsConnection = 10;

    const auto behaviour = config_.start_behaviour.find(id);
    const bool configured = behaviour != config_.start_behaviour.end();
    if (configured && behaviour->second.result != kStarted) return answer(behaviour->second.result, kNoFeatures);
    const auto sector = find_application(id);
    if (!configured && (!sector || id <= kLastSystemKind)) return answer(kInvalidId, kNoFeatures);
    if (running_app_) return answer(kAlreadyRunning, kNoFeatures);

    std::array<std::uint8_t, 4> features{};
    if (configured && behaviour->second.features)
        features = *behaviour->second.features;
    else if (sector)
        std::ranges::copy(areas_[*sector].read(kRecordHeaderSize + kFeaturesOffset, 4), features.begin());
    running_app_ = id;
    note("application " + std::to_string(id) + " started");
    if (id == kEndsConnection) release_claim("application 10 ends the connection");
    return answer(kStarted, features);
}

std::optional<unsigned> DeviceModel::find_application(std::uint32_t id) const {
    if (id == kEmptyId) return std::nullopt;
    for (unsigned sector = 0; sector < config_.sectors; ++sector)
        if (get_be32(areas_[sector].read(kRecordHeaderSize, 4).data()) == id) return sector;
    return std::nullopt;
}

MemoryArea *DeviceModel::area(unsigned number) { return number < areas_.size() ? &areas_[number] : nullptr; }

void DeviceModel::power_cycle() {
    release_claim("power cycle");
    running_app_.reset();
    write_pointer_.reset();
    areas_.back().erase();
    held_.clear();
}

bool DeviceModel::holds(std::uint64_t host) const { return claim_.claimed && claim_.host == host; }

void DeviceModel::release_claim(const char *why) {
    if (!claim_.claimed) return;
    claim_ = {};
    note(why);
}

void DeviceModel::note(std::string text) { record({LogEntry::Kind::note, {}, std::move(text)}); }

void DeviceModel::record(LogEntry entry) {
    if (log_sink_) log_sink_(entry);
    if (log_limit_ == 0) return;
    if (log_.size() >= log_limit_) log_.pop_front();
    log_.push_back(std::move(entry));
}

// Not logged here: whoever takes them logs them when they go out.
std::vector<Bytes> DeviceModel::take_held_answers(std::uint64_t host) {
    std::lock_guard lock(mutex_);
    const auto held = held_.find(host);
    if (held == held_.end()) return {};
    std::vector<Bytes> out = std::move(held->second);
    held_.erase(held);
    return out;
}

void DeviceModel::link_opened(std::uint64_t host) {
    std::lock_guard lock(mutex_);
    note(host == 0 ? std::string("link opened") : "link opened by host " + std::to_string(host));
}

void DeviceModel::link_closed(std::uint64_t host) {
    std::lock_guard lock(mutex_);
    if (held_.erase(host) != 0) note("held answers dropped with the link");
    note(host == 0 ? std::string("link closed") : "link closed by host " + std::to_string(host));
}

void DeviceModel::unplug() {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
    held_.clear();
    note("unplugged");
}

void DeviceModel::replug() {
    std::lock_guard lock(mutex_);
    unplugged_ = false;
    power_cycle();
    note("plugged in");
}

bool DeviceModel::unplugged() const {
    std::lock_guard lock(mutex_);
    return unplugged_;
}

void DeviceModel::add_fault(const FaultRule &rule) {
    std::lock_guard lock(mutex_);
    faults_.add(rule);
}

void DeviceModel::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

ClaimState DeviceModel::claim() const {
    std::lock_guard lock(mutex_);
    return claim_;
}

std::uint32_t DeviceModel::serial_word() const {
    std::lock_guard lock(mutex_);
    return serial_word_;
}

std::uint32_t DeviceModel::autostart_app_id() const {
    std::lock_guard lock(mutex_);
    return autostart_app_id_;
}

std::optional<std::uint32_t> DeviceModel::running_application() const {
    std::lock_guard lock(mutex_);
    return running_app_;
}

unsigned DeviceModel::sector_count() const { return config_.sectors; }

Bytes DeviceModel::read_memory(unsigned number, std::uint32_t address, std::uint32_t length) const {
    std::lock_guard lock(mutex_);
    if (number >= areas_.size() || !areas_[number].contains(address, length)) return {};
    return areas_[number].read(address, length);
}

std::array<std::uint8_t, kInfoBlockSize> DeviceModel::sector_info_block(unsigned sector) const {
    std::array<std::uint8_t, kInfoBlockSize> block;
    block.fill(0xFF);
    std::lock_guard lock(mutex_);
    if (sector < config_.sectors) std::ranges::copy(areas_[sector].read(kRecordHeaderSize, kInfoBlockSize), block.begin());
    return block;
}

void DeviceModel::install_application(const ApplicationImage &application) {
    const Bytes image = make_application_image(application.info, application.payload_size);
    Bytes stream;
    append_be32(stream, 0);
    append_be32(stream, static_cast<std::uint32_t>(image.size()));
    stream.insert(stream.end(), image.begin(), image.end());
    stream.insert(stream.end(), kRecordHeaderSize, 0);  // end record
    std::lock_guard lock(mutex_);
    if (application.sector >= config_.sectors || !areas_[application.sector].contains(0, stream.size()))
        throw std::invalid_argument("application " + std::to_string(application.info.id) + " does not fit sector " +
                                    std::to_string(application.sector));
    areas_[application.sector].erase();
    areas_[application.sector].write(0, stream);
    ++generation_;
}

std::vector<LogEntry> DeviceModel::log() const {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

void DeviceModel::clear_log() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void DeviceModel::set_log_sink(std::function<void(const LogEntry &)> sink) {
    std::lock_guard lock(mutex_);
    log_sink_ = std::move(sink);
}

void DeviceModel::set_log_limit(std::size_t entries) {
    std::lock_guard lock(mutex_);
    log_limit_ = entries;
    while (log_.size() > log_limit_) log_.pop_front();
}

std::uint64_t DeviceModel::persistent_generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

void DeviceModel::save_state(std::ostream &out) const {
    std::lock_guard lock(mutex_);
    out.write(kStateMagic, sizeof kStateMagic);
    write_u32(out, kStateVersion);
    write_u32(out, serial_word_);
    write_u32(out, autostart_app_id_);
    write_u32(out, config_.sectors);
    write_u32(out, config_.sector_size);
    for (unsigned sector = 0; sector < config_.sectors; ++sector) {
        const auto pages = areas_[sector].written_pages();
        write_u32(out, static_cast<std::uint32_t>(pages.size()));
        for (const auto &[index, page] : pages) {
            write_u32(out, index);
            out.write(reinterpret_cast<const char *>(page->data()), MemoryArea::kPageSize);
        }
    }
}

void DeviceModel::load_state(std::istream &in) {
    char magic[sizeof kStateMagic];
    if (!in.read(magic, sizeof magic) || !std::equal(magic, magic + sizeof magic, kStateMagic))
        throw std::runtime_error("not a drova-sim state file");
    if (const auto version = read_u32(in); version != kStateVersion)
        throw std::runtime_error("state file version " + std::to_string(version) + " is not supported");
    const std::uint32_t serial = read_u32(in);
    const std::uint32_t autostart = read_u32(in);
    const std::uint32_t sectors = read_u32(in);
    const std::uint32_t sector_size = read_u32(in);
    if (sectors != config_.sectors || sector_size != config_.sector_size)
        throw std::runtime_error("state file holds " + std::to_string(sectors) + " sectors of " +
                                 std::to_string(sector_size) + " bytes, the device has " +
                                 std::to_string(config_.sectors) + " of " + std::to_string(config_.sector_size));
    std::vector<MemoryArea> loaded;
    for (unsigned sector = 0; sector < sectors; ++sector) {
        loaded.emplace_back(MemoryArea::Kind::flash, sector_size);
        const std::uint32_t count = read_u32(in);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t index = read_u32(in);
            MemoryArea::Page page;
            if (!in.read(reinterpret_cast<char *>(page.data()), MemoryArea::kPageSize))
                throw std::runtime_error("state file is cut short");
            if (std::uint64_t{index} * MemoryArea::kPageSize >= sector_size)
                throw std::runtime_error("state file has a page outside sector " + std::to_string(sector));
            loaded.back().restore_page(index, page);
        }
    }
    std::lock_guard lock(mutex_);
    for (unsigned sector = 0; sector < sectors; ++sector) areas_[sector] = std::move(loaded[sector]);
    serial_word_ = serial;
    autostart_app_id_ = autostart;
    ++generation_;
}

void DeviceModel::set_clock(std::function<std::uint64_t()> now_ms) {
    std::lock_guard lock(mutex_);
    now_ms_ = std::move(now_ms);
    last_holder_frame_ms_ = now_ms_();
}

}  // namespace velkor::sim
