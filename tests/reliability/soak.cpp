#include "reliability/soak.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "Vevara_Rovo_dar.h"
#include "api/session.h"
#include "protocol/frame.h"
#include "session/clock.h"
#include "usb/in_process_device.h"

namespace velkor::testing {
namespace {

using protocol::Opcode;

constexpr const char *kDeviceName = "drova0";
constexpr std::uint32_t kInstalledApp = 5;
constexpr std::uint32_t kRefusedApp = 6;     // the device refuses its start
constexpr std::uint32_t kMalformedApp = 12;  // the device answers a result the library must reject
constexpr std::uint32_t kHandoverApp = 10;   // its start ends the connection
constexpr std::uint32_t kLongestPeriodMs = 30000;
constexpr int kMarker = 100;  // an event pair of the test's own, never one of the library's

std::uint64_t environment_number(const char *name, std::uint64_t fallback) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 0);
}

// The command whose frames carry this opcode; -1 for frames that may go out
// between commands (acknowledgements, reset).
int command_of(std::uint8_t opcode) {
    switch (opcode) {
    case protocol::kOpConnect: return kConnect;
    case protocol::kOpDisconnect: return kDisconnect;
    case protocol::kOpKeepAlive: return kKeepAlive;
    case protocol::kOpDeviceQuery: return kSearch;
    case protocol::kOpFlashInfo: return kFlashInfo;
    case protocol::kOpAppInfo: return kAppInfo;
    case protocol::kOpWriteSerial: return kWrsn;
    case protocol::kOpAutoStart: return kAutoStart;
    case protocol::kOpErase: return kErase;
    case protocol::kOpAddress: return kAddress;
    case protocol::kOpProgramData: return kPrgData;
    case protocol::kOpProgram: return kProgram;
    case protocol::kOpCheckSum: return kCheckSum;
    case protocol::kOpStartApp: return kStartApp;
    default: return -1;
    }
}

std::string describe(const std::vector<Event> &events) {
    std::ostringstream out;
    for (const Event &e : events) out << '(' << e.first << ',' << e.second << ')';
    return out.str();
}

// Events that tell of trouble: a failed outcome, a time-out, a lost link, a
// refusal by the device. Busy and state refusals of the gates are not trouble.
bool troubled(const std::vector<Event> &events) {
    return std::ranges::any_of(events, [](const Event &e) {
        if (e.first != VELKOR_EV_ERROR) return e.second != 0;
        return e.second != VELKOR_ERR_BUSY && e.second != VELKOR_ERR_NOT_CONNECTED &&
               e.second != VELKOR_ERR_DISCONNECT_FIRST && e.second != VELKOR_ERR_SERIAL_FORMAT &&
               e.second != VELKOR_ERR_NO_SUCH_DEVICE;
    });
}

std::size_t count(const std::vector<Event> &events, int a, std::optional<int> b = std::nullopt) {
    return static_cast<std::size_t>(
        std::ranges::count_if(events, [&](const Event &e) { return e.first == a && (!b || e.second == *b); }));
}

const std::array kFaultKinds{
    sim::FaultKind::no_answer,     sim::FaultKind::lost_answer,  sim::FaultKind::late_answer,
    sim::FaultKind::corrupt_byte,  sim::FaultKind::wrong_length, sim::FaultKind::refuse,
    sim::FaultKind::unplug,        sim::FaultKind::extra_frames, sim::FaultKind::answer_230,
    sim::FaultKind::wrong_checksum, sim::FaultKind::flash_count, sim::FaultKind::channel,
    sim::FaultKind::length_zero,   sim::FaultKind::short_frame,  sim::FaultKind::length_beyond,
    sim::FaultKind::oversize,
};

}  // namespace

SoakSettings SoakSettings::from_environment(SoakSettings defaults) {
    defaults.seed = environment_number("VELKOR_SOAK_SEED", defaults.seed);
    defaults.commands = environment_number("VELKOR_SOAK_COMMANDS", defaults.commands);
    defaults.speedup = static_cast<double>(environment_number("VELKOR_SOAK_SPEEDUP", static_cast<std::uint64_t>(defaults.speedup)));
    return defaults;
}

bool WireMonitor::on_host_block(const std::uint8_t *data, std::size_t size, std::vector<usb::Block> &answers) {
    if (size > protocol::kHeaderSize) {
        const std::uint8_t opcode = data[protocol::kHeaderSize];
        const int expected = command_of(opcode);
        const int in_flight = Session::instance().command.state();
        // The device query serves the search and the information read.
        const bool query = opcode == protocol::kOpDeviceQuery && in_flight == kReadInfo;
        if (expected >= 0 && expected != in_flight && !query) {
            std::lock_guard guard(lock_);
            if (!violation_) {
                std::ostringstream out;
                out << "frame with opcode 0x" << std::hex << int{opcode} << std::dec << " sent while command state "
                    << in_flight << " is in flight";
                violation_ = out.str();
            }
        }
    }
    return device_.on_host_block(data, size, answers);
}

std::optional<std::string> WireMonitor::violation() const {
    std::lock_guard guard(lock_);
    return violation_;
}

struct Soak::Command {
    std::string name;
    int terminal = -1;  // the event that completes it; -1: none (keep-alive)
    std::function<int()> call;
    bool expected = true;        // the gates should let it through
    bool sure_success = false;   // on a healthy device it must end with (terminal, 0)
    std::optional<std::uint8_t> opcode;  // the frame a fault aims at
    bool download = false;
    bool connect_after = false;  // a search that connects once it found devices
    bool hands_over = false;     // a start of the application that ends the connection
};

struct Soak::Issued {
    Command command;
    bool accepted;
};

Soak::Soak(SoakSettings settings, EventRecorder &events)
    : settings_(settings), events_(events), random_(settings.seed) {
    // Close to the wrap of the tick counter, so that long runs cross it.
    set_clock(std::make_shared<ScaledClock>(settings_.speedup, 0xFFFFFFFFu - 60000));
    usb::detach_all_in_process_devices();

    sim::DeviceConfig config;
    config.sectors = 6;
    config.sector_size = 0x4000;
    config.staging_size = 0x4000;
    config.applications.push_back({1, {.id = kInstalledApp, .name = "Soak"}, 512});
    config.start_behaviour[kHandoverApp] = {};
    config.start_behaviour[kRefusedApp] = {.result = 3, .features = std::nullopt};
    config.start_behaviour[kMalformedApp] = {.result = 9, .features = std::nullopt};
    model_ = std::make_shared<sim::DeviceModel>(config);
    model_->set_log_limit(64);
    monitor_ = std::make_shared<WireMonitor>(model_);
    usb::attach_in_process_device(kDeviceName, monitor_);

    if (_Initialize(&EventRecorder::callback, nullptr, 0) != 0) failure_ = "the session did not start";
}

Soak::~Soak() {
    _Close();
    usb::detach_all_in_process_devices();
    set_clock(nullptr);
}

bool Soak::connected() const { return Session::instance().workers()->connection == kConnected; }
bool Soak::idle() const { return Session::instance().command.state() == kIdle; }

bool Soak::claimed_by_us() const {
    const sim::ClaimState claim = model_->claim();
    const std::uint32_t id = Session::instance().random_id;
    return claim.claimed && std::memcmp(claim.holder.data(), &id, 4) == 0;
}

// The serial number of the device as the last search found it, when a
// connect to it can pass the library's checks (a fault may have garbled it).
std::optional<std::uint32_t> Soak::found_serial() const {
    auto running = Session::instance().workers();
    if (!running || running->found_devices.size() == 0) return std::nullopt;
    const TDROVAInfo &entry = running->found_devices[0];
    const std::uint32_t serial = entry.serialNumber;
    if (serial == 0xFFFFFF || !_IsCompatibleFOSIfcVersion(entry.fosIfcVersion)) return std::nullopt;
    return serial;
}

unsigned Soak::known_sectors() const {
    auto running = Session::instance().workers();
    return running ? static_cast<unsigned>(running->flash_sectors.size()) : 0;
}

void Soak::fail(const std::string &what) {
    if (!failure_.empty()) return;
    std::ostringstream out;
    out << "seed " << settings_.seed << ", step " << step_ << " (" << last_step_ << "): " << what
        << "\n  events of the step: " << describe(step_events_) << "\n  step before: " << previous_step_
        << "\n  device log, last entries:";
    const auto log = model_->log();
    for (std::size_t i = log.size() > 16 ? log.size() - 16 : 0; i < log.size(); ++i) out << "\n    " << sim::describe(log[i]);
    out
        << "\n  replay: VELKOR_SOAK_SEED=" << settings_.seed << " VELKOR_SOAK_COMMANDS=" << step_ + 1;
    failure_ = out.str();
}

std::string Soak::run() {
    for (step_ = 0; step_ < settings_.commands && failure_.empty(); ++step_) step();
    figures_.steps = step_;
    return failure_;
}

Soak::Command Soak::choose_any() {
    std::uniform_int_distribution<int> pick(0, 18);
    std::uniform_int_distribution<std::uint32_t> word;
    const bool standard = connected();
    switch (pick(random_)) {
    // A claimed device answers the query with its full block, which a search
    // does not list: only an unclaimed device is sure to be found.
    case 0: return {"_FindDROVAs", VELKOR_EV_SEARCH, [] { return _FindDROVAs(-1, 0, 50); }, true, !model_->claim().claimed,
                    protocol::kOpDeviceQuery};
    case 1: {
        const auto serial = found_serial();
        const int wanted = serial ? static_cast<int>(*serial) : 0x123;
        return {"_Connect", VELKOR_EV_CONNECT, [wanted, mode = static_cast<u8>(word(random_))] { return _Connect(wanted, 0, mode); },
                !standard && serial.has_value() && Session::instance().workers()->connection == kNotConnected, !model_->claim().claimed,
                protocol::kOpConnect};
    }
    case 2: return {"_Disconnect", VELKOR_EV_DISCONNECT, _Disconnect, standard, true, protocol::kOpDisconnect};
    case 3: return {"_CommRefresh", -1, _CommRefresh, standard, true, protocol::kOpKeepAlive};
    case 4: {
        const TAddress target{word(random_) % 0x5000, static_cast<u8>(word(random_) % 8)};
        return {"_Address", VELKOR_EV_ADDRESS, [target] { return _Address(target); }, standard, false, protocol::kOpAddress};
    }
    case 5: return {"_ReadInfo", VELKOR_EV_READINFO, _ReadInfo, standard, true, protocol::kOpDeviceQuery};
    case 6: return {"_FlashInfo", VELKOR_EV_FLASHINFO, _FlashInfo, standard, true, protocol::kOpFlashInfo};
    case 7: {
        const std::uint32_t id = word(random_) % 2 ? kInstalledApp : word(random_) % 20;
        return {"_AppInfo", VELKOR_EV_APPINFO, [id] { return _AppInfo(id); }, standard, false, protocol::kOpAppInfo};
    }
    case 8: {
        const auto sector = static_cast<u8>(word(random_) % 7);  // 6 is no flash sector
        return {"_Erase", VELKOR_EV_ERASE, [sector] { return _Erase(sector); }, standard, sector < 6, protocol::kOpErase};
    }
    case 9: {
        // Records within one sector: an application image, or random blocks.
        const unsigned sectors = known_sectors();
        const int target = static_cast<int>(word(random_) % (sectors + 1));
        std::shared_ptr<TBinList> list(_BinListCreate(), _BinListFree);
        const unsigned records = 1 + word(random_) % 3;
        std::uint32_t address = 0;
        for (unsigned r = 0; r < records; ++r) {
            std::vector<u8> data(1 + word(random_) % 1200);
            for (u8 &byte : data) byte = static_cast<u8>(word(random_));
            BinBlock block{address, static_cast<u32>(data.size()), data.data()};
            _BinListAdd(list.get(), &block);
            address += static_cast<std::uint32_t>(data.size()) + 8 + word(random_) % 64;
        }
        return {"_Download", VELKOR_EV_DOWNLOAD, [target, list] { return _Download(target, list.get()); },
                standard && sectors > 0, false, std::nullopt, true};
    }
    case 10: {
        std::vector<u8> data(1 + word(random_) % 400, 0x5A);
        return {"_PrgData", VELKOR_EV_PRGDATA,
                [data]() mutable {
                    BinBlock block{0, static_cast<u32>(data.size()), data.data()};
                    return _PrgData(&block);
                },
                standard, false, protocol::kOpProgramData};
    }
    case 11: {
        const u64 address = word(random_) % 0x4000;
        const int area = static_cast<int>(word(random_) % 7);
        return {"_Program", VELKOR_EV_PROGRAM, [address, area] { return _Program(address, area); }, standard, false, protocol::kOpProgram};
    }
    case 12: {
        const u64 address = word(random_) % 0x4000;
        const u32 length = word(random_) % 0x800;
        const auto checksum = static_cast<u8>(word(random_));
        const int area = static_cast<int>(word(random_) % 7);
        return {"_CheckSum", VELKOR_EV_CHECKSUM, [=] { return _CheckSum(address, length, checksum, area); }, standard, false,
                protocol::kOpCheckSum};
    }
    case 13: {
        static constexpr std::array kIds{kInstalledApp, kRefusedApp, kMalformedApp, kHandoverApp, 3u, 77u};
        const std::uint32_t id = kIds[word(random_) % kIds.size()];
        Command start{"_StartApp", VELKOR_EV_STARTAPP, [id] { return _StartApp(id); }, standard, false, protocol::kOpStartApp};
        start.hands_over = id == kHandoverApp;
        return start;
    }
    case 14: {
        const std::uint32_t id = word(random_) % 2 ? 0xFFFFFFFFu : kInstalledApp;
        return {"_AutoStart", VELKOR_EV_AUTOSTART, [id] { return _AutoStart(id); }, standard, id == 0xFFFFFFFFu, protocol::kOpAutoStart};
    }
    case 15: {
        // Now and then a number without a serial number's form: refused with (15,3).
        const bool valid = word(random_) % 10 != 0;
        const std::uint32_t sn = valid ? 1 + word(random_) % 0xFFFFFD : 0x1000000 + word(random_) % 0x100;
        return {"_Wrsn", VELKOR_EV_WRSN, [sn] { return _Wrsn(sn); }, standard && valid, true, protocol::kOpWriteSerial};
    }
    case 16: return {"_Reset", VELKOR_EV_DISCONNECT, _Reset, true, false, protocol::kOpReset};
    case 17: return {"_DeviceClose", VELKOR_EV_DISCONNECT, [] { _DeviceClose(); return 0; }, true, false, std::nullopt};
    default: {
        Command search{"_FindDROVAs(connect)", VELKOR_EV_SEARCH, [] { return _FindDROVAs(0, 0, 50); }, true, !model_->claim().claimed,
                       protocol::kOpDeviceQuery};
        search.connect_after = true;
        return search;
    }
    }
}

Soak::Command Soak::choose() {
    std::uniform_int_distribution<int> percent(0, 99);
    for (;;) {
        Command command = choose_any();
        if (percent(random_) < 8) return command;  // whatever the state: the gates must refuse it cleanly
        const bool wants_connection = command.name != "_FindDROVAs" && command.name != "_FindDROVAs(connect)" &&
                                      command.name != "_Connect";
        if (connected() == wants_connection) return command;
    }
}

// A host that finds its device out of step does what a user would: forgets
// the connection, or power-cycles a device still claimed.
Soak::Command Soak::recovery() {
    if (connected()) return {"_DeviceClose", VELKOR_EV_DISCONNECT, [] { _DeviceClose(); return 0; }, true, false, std::nullopt};
    if (model_->claim().claimed) {
        model_->replug();
        ++figures_.power_cycles;
    }
    return {"_FindDROVAs", VELKOR_EV_SEARCH, [] { return _FindDROVAs(-1, 0, 50); }, true, true, protocol::kOpDeviceQuery};
}

std::optional<sim::FaultRule> Soak::plant_fault(const Command &command) {
    std::uniform_int_distribution<int> percent(0, 99);
    if (percent(random_) >= 30 || command.name == "_DeviceClose") return std::nullopt;
    std::uniform_int_distribution<std::size_t> kinds(0, kFaultKinds.size() - 1);
    sim::FaultRule rule;
    rule.kind = kFaultKinds[kinds(random_)];
    rule.opcode = command.opcode;
    if (command.download) {
        static constexpr std::array kSteps{protocol::kOpAddress, protocol::kOpProgramData, protocol::kOpCheckSum,
                                           protocol::kOpProgram};
        rule.opcode = kSteps[static_cast<std::size_t>(percent(random_)) % kSteps.size()];
        rule.skip = static_cast<std::uint32_t>(percent(random_) % 4);
    }
    if (percent(random_) < 10) rule.opcode.reset();  // whichever frame comes first
    rule.times = percent(random_) < 80 ? 1 : 2;
    const auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); };
    switch (rule.kind) {
    case sim::FaultKind::wrong_length: rule.amount = between(1, 3) * (percent(random_) < 50 ? -1 : 1); break;
    case sim::FaultKind::corrupt_byte: rule.amount = between(-4, 8); break;
    case sim::FaultKind::short_frame: rule.amount = between(0, 40); break;
    case sim::FaultKind::length_beyond: rule.amount = between(1, 64); break;
    case sim::FaultKind::oversize: rule.amount = between(513, 700); break;
    case sim::FaultKind::extra_frames: rule.amount = between(1, 3); break;
    case sim::FaultKind::flash_count: rule.amount = between(0, 12); break;
    case sim::FaultKind::channel: rule.amount = between(1, 7); break;
    case sim::FaultKind::unplug: rule.amount = between(0, 1); break;
    default: break;
    }
    if (percent(random_) < 20) rule.frame = -1;
    model_->add_fault(rule);
    ++figures_.faults[sim::fault_kind_name(rule.kind)];
    return rule;
}

Soak::Issued Soak::issue(const Command &command) {
    ++figures_.commands[command.name];
    const bool accepted = command.call() == 0;
    accepted ? ++figures_.accepted : ++figures_.refused;
    return {command, accepted};
}

// A second command while the first may still be in flight: the gates must
// refuse it, or the first has already ended (the wire monitor tells).
void Soak::intrude(std::vector<Issued> &issued) {
    Command second = choose_any();
    if (second.name == "_DeviceClose") return;  // forgets the command in flight by design
    ++figures_.intrusions;
    issued.push_back(issue(second));
}

void Soak::wait_for_completion(const std::vector<Issued> &issued) {
    Session &session = Session::instance();
    auto running = session.workers();
    if (!running) return fail("no session");
    const auto limit = std::max<std::chrono::nanoseconds>(std::chrono::seconds(10),
                                                          4 * running->clock->real_duration(kLongestPeriodMs));
    const auto settle = running->clock->real_duration(3 * TNotifyThread::kPaceMs);
    const auto until = std::chrono::steady_clock::now() + limit;
    std::map<int, std::size_t> wanted;
    for (const Issued &i : issued)
        if (i.accepted && i.command.terminal >= 0) ++wanted[i.command.terminal];
    for (;;) {
        const auto all = events_.events();
        const std::size_t lost = count(all, VELKOR_EV_ERROR, VELKOR_ERR_LINK_LOST);
        std::size_t missing = 0;
        for (const auto &[kind, n] : wanted) missing += n > count(all, kind) ? n - count(all, kind) : 0;
        if (missing <= lost && idle() && running->notifier.queued() == 0) {
            // Everything posted before the marker has been delivered once the
            // marker has; the pause covers a time-out handler that has ended
            // its command but not yet posted.
            const Event marker{kMarker, ++markers_};
            session.post(marker.first, marker.second);
            if (!events_.wait_for(marker, std::chrono::seconds(10))) return fail("an event posted by the test never arrived");
            std::this_thread::sleep_for(settle);
            const auto now = events_.events();
            if (idle() && running->notifier.queued() == 0 && now.back() == marker) {
                step_events_.clear();
                std::ranges::copy_if(now, std::back_inserter(step_events_), [](const Event &e) { return e.first != kMarker; });
                return;
            }
        }
        if (std::chrono::steady_clock::now() > until) {
            step_events_ = all;
            std::ostringstream out;
            out << "no completion within " << std::chrono::duration_cast<std::chrono::milliseconds>(limit).count()
                << " ms: command state " << session.command.state() << ", connection state " << session.connection_state()
                << ", " << missing << " completion event(s) missing";
            return fail(out.str());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void Soak::check_events(const std::vector<Issued> &issued, bool clean) {
    const auto &all = step_events_;
    const std::size_t lost = count(all, VELKOR_EV_ERROR, VELKOR_ERR_LINK_LOST);
    figures_.link_losses += lost;
    figures_.time_outs += count(all, VELKOR_EV_ERROR, VELKOR_ERR_NOT_RESPONDING);

    std::map<int, std::size_t> expected;
    std::size_t extra_connects = 0, extra_disconnects = lost;
    bool download = false;
    for (const Issued &i : issued) {
        if (!i.accepted) continue;
        if (i.command.terminal >= 0) ++expected[i.command.terminal];
        download = download || i.command.download;
        if (i.command.connect_after && count(all, VELKOR_EV_SEARCH, 0) > 0) ++extra_connects;
        if (i.command.hands_over && count(all, VELKOR_EV_STARTAPP, 0) > 0) ++extra_disconnects;
    }
    std::size_t deficit = 0;
    for (int kind = 0; kind < VELKOR_EV_ERROR; ++kind) {
        if (download && (kind == VELKOR_EV_ADDRESS || kind == VELKOR_EV_PRGDATA || kind == VELKOR_EV_CHECKSUM ||
                         kind == VELKOR_EV_PROGRAM))
            continue;
        const std::size_t want = expected[kind];
        const std::size_t seen = count(all, kind);
        const std::size_t allowed = want + (kind == VELKOR_EV_CONNECT ? extra_connects : 0) +
                                    (kind == VELKOR_EV_DISCONNECT ? extra_disconnects : 0);
        if (seen > allowed) {
            std::ostringstream out;
            out << seen << " event(s) of kind " << kind << " where " << allowed << " can be explained";
            return fail(out.str());
        }
        if (seen < want) deficit += want - seen;
    }
    if (deficit > lost) return fail("an accepted command ended without its completion event");

    const Issued &primary = issued.front();
    if (primary.accepted != primary.command.expected)
        return fail(primary.accepted ? "accepted although its gate should refuse it"
                                     : "refused although the library was idle and in the state it needs");
    if (clean && primary.accepted && primary.command.sure_success && primary.command.terminal >= 0 &&
        count(all, primary.command.terminal, 0) == 0)
        return fail("failed on a healthy device");
    if (clean && primary.accepted && primary.command.terminal < 0 && lost > 0) return fail("keep-alive lost the link on a healthy device");
}

void Soak::check_connection(bool disturbed, const std::vector<Issued> &issued) {
    const int state = Session::instance().workers()->connection;
    if (state != kConnected && state != kNotConnected) {
        std::ostringstream out;
        out << "connection state " << state << " with no command in flight";
        return fail(out.str());
    }
    const bool agree = connected() == claimed_by_us();
    if (agree) {
        desync_ = false;
        desync_steps_ = 0;
        return;
    }
    const bool explained = disturbed || desync_ || troubled(step_events_) ||
                           std::ranges::any_of(issued, [](const Issued &i) {
                               return i.accepted && (i.command.name == "_DeviceClose" || i.command.name == "_Reset");
                           });
    if (!explained)
        return fail(std::string("the library says ") + (connected() ? "connected" : "not connected") +
                    " but the device " + (model_->claim().claimed ? "is claimed" : "is not claimed") +
                    (model_->claim().claimed && !claimed_by_us() ? " by another identifier" : ""));
    desync_ = true;
    ++desync_steps_;
}

void Soak::step() {
    events_.clear();
    std::uniform_int_distribution<int> percent(0, 99);
    const bool settled = clean_steps_ >= 2 && !desync_ && !model_->unplugged();
    Command command = desync_steps_ >= 3 ? recovery() : choose();
    if (command.name == "_FindDROVAs" && desync_steps_ >= 3) desync_steps_ = 0;
    const auto fault = plant_fault(command);
    last_step_ = command.name + (fault ? std::string(" with fault ") + sim::fault_kind_name(fault->kind) : "");

    std::vector<Issued> issued{issue(command)};
    if (issued.front().accepted && percent(random_) < 15) intrude(issued);
    if (issued.size() > 1) last_step_ += ", then " + issued.back().command.name + (issued.back().accepted ? " accepted" : " refused");
    wait_for_completion(issued);
    if (!failure_.empty()) return;
    for (const Issued &i : issued)
        if (i.accepted && i.command.terminal >= 0)
            ++figures_.outcomes[count(step_events_, i.command.terminal, 0) > 0 ? "success" : "failure"];

    if (auto wrong = monitor_->violation()) return fail(*wrong);
    check_events(issued, settled && !fault);
    if (!failure_.empty()) return;

    model_->clear_faults();
    bool disturbed = fault.has_value();
    if (model_->unplugged() && percent(random_) < 30) {
        model_->replug();
        disturbed = true;
    }
    clean_steps_ = disturbed || model_->unplugged() ? 0 : clean_steps_ + 1;
    check_connection(disturbed, issued);
    previous_step_ = last_step_ + ", events " + describe(step_events_);
}

std::string Soak::report() const {
    std::ostringstream out;
    out << "seed " << settings_.seed << ": " << figures_.steps << " steps, " << figures_.accepted << " commands accepted, "
        << figures_.refused << " refused, " << figures_.intrusions << " second commands while one was in flight\n";
    out << "  outcomes:";
    for (const auto &[name, n] : figures_.outcomes) out << ' ' << name << '=' << n;
    out << ", time-outs=" << figures_.time_outs << ", link losses=" << figures_.link_losses
        << ", power cycles to clear a stale claim=" << figures_.power_cycles << "\n  commands:";
    for (const auto &[name, n] : figures_.commands) out << ' ' << name << '=' << n;
    out << "\n  faults planted:";
    for (const auto &[name, n] : figures_.faults) out << ' ' << name << '=' << n;
    return out.str();
}

}  // namespace velkor::testing
