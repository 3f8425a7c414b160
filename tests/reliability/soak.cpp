#include "reliability/soak.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "protocol/frame.h"
#include "session/clock.h"
#include "session/exchange_guard.h"
#include "usb/in_process_device.h"

namespace velkor::testing {
namespace {

using protocol::Opcode;

// Two devices that differ where a mix-up would show: serial number and
// sector count (so a staging area taken from the wrong table is visible).
// Each has a port of its own and another it may be plugged into: "drova-1"
// sorts before "drova0" and "drova2" after "drova1", so plugging one in
// elsewhere moves the list position of the other.
struct DeviceSetup {
    const char *name;
    const char *other_name;
    std::uint32_t serial;
    unsigned sectors;
};
constexpr std::array<DeviceSetup, 2> kDevices{{
    {"drova0", "drova2", 0x8D0123, 6},
    {"drova1", "drova-1", 0x8D0456, 4},
}};

constexpr std::uint32_t kInstalledApp = 5;
constexpr std::uint32_t kRefusedApp = 6;     // the device refuses its start
constexpr std::uint32_t kMalformedApp = 12;  // the device answers a result the library must reject
constexpr std::uint32_t kHandoverApp = 10;   // its start ends the connection
constexpr std::uint32_t kLongestPeriodMs = 30000;
constexpr int kMarker = 100;  // an event pair of the test's own, never one of the library's
constexpr int kMostFound = 10;

std::uint64_t environment_number(const char *name, std::uint64_t fallback) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 0);
}

std::string path_text(const char (&path)[260]) {
    return std::string(path, static_cast<std::size_t>(std::find(path, path + 260, '\0') - path));
}

std::string hex(unsigned value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

sim::DeviceConfig device_config(const DeviceSetup &setup) {
    sim::DeviceConfig config;
    config.serial_word = setup.serial;
    config.sectors = setup.sectors;
    config.sector_size = 0x4000;
    config.staging_size = 0x4000;
    config.applications.push_back({1, {.id = kInstalledApp, .name = "Soak"}, 512});
    config.start_behaviour[kHandoverApp] = {};
    config.start_behaviour[kRefusedApp] = {.result = 3, .features = std::nullopt};
    config.start_behaviour[kMalformedApp] = {.result = 9, .features = std::nullopt};
    return config;
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
    if (size > protocol::kHeaderSize) check_frame(data);
    return device_.on_host_block(data, size, answers);
}

void WireMonitor::check_frame(const std::uint8_t *data) {
    const std::uint8_t opcode = data[protocol::kHeaderSize];
    Session &session = Session::instance();
    const int in_flight = session.command.state();
    std::lock_guard guard(lock_);
    if (phase_ == Phase::closed) return note("frame with opcode " + hex(opcode) + " reached " + path_ + " after _Close");
    // The search of a series may still ask its interfaces while _Close ends it.
    if (phase_ == Phase::closing) {
        if (opcode != protocol::kOpDeviceQuery)
            note("frame with opcode " + hex(opcode) + " reached " + path_ + " while _Close ended a series");
        return;
    }

    // The device query serves the search and the information read.
    const int expected = command_of(opcode);
    const bool query = opcode == protocol::kOpDeviceQuery && in_flight == kReadInfo;
    if (expected >= 0 && expected != in_flight && !query) {
        std::ostringstream out;
        out << "frame with opcode " << hex(opcode) << " sent while command state " << in_flight << " is in flight";
        return note(out.str());
    }

    // The connected record and the download belong to whoever holds the
    // exchange guard, as every writer of a frame does.
    if (!ExchangeGuard::held_by_this_thread())
        return note("frame with opcode " + hex(opcode) + " written without the exchange guard");
    const auto running = session.workers();
    const int state = running ? running->connection.load() : kNotConnected;
    const std::string held = path_text(session.connected_device.devicePath);
    // Only the search query, the connect request and the two acknowledgements
    // may reach a device this host does not hold.
    const bool handshake = opcode == protocol::kOpConnect || opcode == protocol::kOpConnectAck ||
                           opcode == protocol::kOpDisconnectAck;
    const bool search_query = opcode == protocol::kOpDeviceQuery && in_flight == kSearch;
    if (!handshake && !search_query && ((state != kConnected && state != kDisconnecting) || held != path_)) {
        std::ostringstream out;
        out << "frame with opcode " << hex(opcode) << " reached " << path_ << " while the connection state is "
            << state << " and the connected record names '" << held << "'";
        return note(out.str());
    }
    if (opcode == protocol::kOpAddress && running && running->download.running())
        download_areas_.push_back(data[protocol::kHeaderSize + 1]);  // area first, then the address
}

void WireMonitor::note(const std::string &what) {
    if (!violation_) violation_ = what;
}

void WireMonitor::set_path(std::string path) {
    std::lock_guard guard(lock_);
    path_ = std::move(path);
}

void WireMonitor::set_phase(Phase phase) {
    std::lock_guard guard(lock_);
    phase_ = phase;
}

std::optional<std::string> WireMonitor::violation() const {
    std::lock_guard guard(lock_);
    return violation_;
}

std::vector<unsigned> WireMonitor::take_download_areas() {
    std::lock_guard guard(lock_);
    return std::exchange(download_areas_, {});
}

namespace {
void VELKOR_CALL clear_scan_list(void *) {}
void VELKOR_CALL add_scan_line(void *context, const char *) {
    auto &list = *static_cast<ScanList *>(context);
    ++list.lines;
    if (list.closed) ++list.after_close;
}
}  // namespace

ScanList::ScanList() { strings = {this, clear_scan_list, add_scan_line}; }

enum class Soak::Pick : int {
    search, connect, disconnect, keep_alive, address, read_info, flash_info, app_info, erase, download,
    prg_data, program, checksum, start_app, auto_start, wrsn, reset, device_close, search_connect,
};
constexpr int kPicks = 19;

struct Soak::Command {
    std::string name;
    int terminal = -1;  // the event that completes it; -1: none (keep-alive)
    std::function<int()> call;
    bool expected = true;        // the gates should let it through (the call returns 0)
    bool sure_success = false;   // on a healthy device it must end with (terminal, 0)
    std::optional<std::uint8_t> opcode;  // the frame a fault aims at
    bool download = false;
    bool connect_after = false;  // a search that connects once it found devices
    bool hands_over = false;     // a start of the application that ends the connection
    Pick pick = Pick::search;
    std::string device{};        // the interface its frames go to; empty: whichever
    bool always_ends = false;    // a search: with no interface present it returns 1 and still ends
};

struct Soak::Issued {
    Command command;
    bool accepted;    // owes its completion event
    int result;
    Record record;    // the connected record when it was called
};

Soak::Soak(SoakSettings settings, EventRecorder &events)
    : settings_(settings), events_(events), random_(settings.seed) {
    // Close to the wrap of the tick counter, so that long runs cross it.
    set_clock(std::make_shared<ScaledClock>(settings_.speedup, 0xFFFFFFFFu - 60000));
    usb::detach_all_in_process_devices();
    // With every interface pulled, the host sees none, not another backend's.
    usb::select_in_process_backend(true);

    for (std::size_t k = 0; k < devices_.size(); ++k) {
        Device &device = devices_[k];
        device.names = {kDevices[k].name, kDevices[k].other_name};
        device.model = std::make_shared<sim::DeviceModel>(device_config(kDevices[k]));
        device.model->set_log_limit(64);
        device.monitor = std::make_shared<WireMonitor>(device.model, device.path());
        attach(device, 0);
    }

    if (_Initialize(&EventRecorder::callback, nullptr, 0) != 0) failure_ = "the session did not start";
}

Soak::~Soak() {
    _Close();
    usb::detach_all_in_process_devices();
    usb::select_in_process_backend(false);
    set_clock(nullptr);
}

void Soak::attach(Device &device, int name) {
    device.name = name;
    device.monitor->set_path(device.path());
    usb::attach_in_process_device(device.path(), device.monitor);
    device.attached = true;
}

bool Soak::connected() const { return Session::instance().connection_state() == kConnected; }
bool Soak::idle() const { return Session::instance().command.state() == kIdle; }

bool Soak::claimed_by_us(const Device &device) const {
    const sim::ClaimState claim = device.model->claim();
    const std::uint32_t id = Session::instance().random_id;
    return claim.claimed && std::memcmp(claim.holder.data(), &id, 4) == 0;
}

Soak::Record Soak::connect_record() const {
    std::lock_guard guard(Session::instance().exchange_lock);
    const TDROVAInfo *record = _GetConnectInfo();
    return {path_text(record->devicePath), record->serialNumber};
}

Soak::Device *Soak::device_at(const std::string &path) {
    for (Device &device : devices_)
        if (device.attached && device.path() == path) return &device;
    return nullptr;
}

int Soak::present_interfaces() const {
    return static_cast<int>(std::ranges::count_if(devices_, [](const Device &d) { return d.attached; }));
}

// A search is sure to list a device: an unclaimed one answers, and every
// interface listed before it answers at once (a claimed device with its full
// block, which is no entry); a device that cannot answer ends the asking.
bool Soak::findable() const {
    std::vector<const Device *> listed;
    for (const Device &device : devices_)
        if (device.attached) listed.push_back(&device);
    std::ranges::sort(listed, {}, [](const Device *d) { return d->path(); });
    for (const Device *device : listed) {
        if (device->model->unplugged()) return false;
        if (!device->model->claim().claimed) return true;
    }
    return false;
}

bool Soak::any_unplugged() const {
    return std::ranges::any_of(devices_, [](const Device &d) { return d.model->unplugged(); });
}

// A device of the last search that a connect can reach past the library's
// checks (a fault may have garbled an entry); `prefer_other` picks one that
// is not the device connected last, when the list has one.
std::optional<Soak::Target> Soak::found_target(bool prefer_other) {
    std::array<TDROVAInfo, kMostFound> found{};
    const int listed = std::min(_GetFoundDevices(found.data(), kMostFound), kMostFound);
    std::vector<Target> usable, other;
    for (int i = 0; i < listed; ++i) {
        const TDROVAInfo &entry = found[static_cast<std::size_t>(i)];
        const std::uint32_t serial = entry.serialNumber;
        if (serial == 0xFFFFFF || !_IsCompatibleFOSIfcVersion(entry.fosIfcVersion)) continue;
        usable.push_back({serial, i, path_text(entry.devicePath)});
        if (usable.back().path != last_connected_path_) other.push_back(usable.back());
    }
    if (usable.empty()) return std::nullopt;
    const std::vector<Target> &from = prefer_other && !other.empty() ? other : usable;
    Target chosen = from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random_)];
    // The library takes the first entry with that serial number.
    for (const Target &t : usable)
        if (t.serial == chosen.serial) return Target{chosen.serial, chosen.index, t.path};
    return chosen;
}

void Soak::fail(const std::string &what) {
    if (!failure_.empty()) return;
    std::ostringstream out;
    out << "seed " << settings_.seed << ", step " << step_ << " (" << last_step_ << "): " << what
        << "\n  events of the step: " << describe(step_events_) << "\n  step before: " << previous_step_;
    for (const Device &device : devices_) {
        out << "\n  " << device.path() << (device.attached ? "" : " (detached)") << ", last entries of its log:";
        const auto log = device.model->log();
        for (std::size_t i = log.size() > 10 ? log.size() - 10 : 0; i < log.size(); ++i)
            out << "\n    " << sim::describe(log[i]);
    }
    out << "\n  replay: VELKOR_SOAK_SEED=" << settings_.seed << " VELKOR_SOAK_COMMANDS=" << step_ + 1;
    failure_ = out.str();
}

std::string Soak::run() {
    for (step_ = 0; step_ < settings_.commands && failure_.empty(); ++step_) step();
    figures_.steps = step_;
    return failure_;
}

Soak::Command Soak::make_command(Pick pick, bool prefer_other) {
    std::uniform_int_distribution<std::uint32_t> word;
    const bool standard = connected();
    const Record record = connect_record();
    const Device *held = standard ? device_at(record.path) : nullptr;
    const unsigned sectors = held ? held->model->sector_count() : kDevices[0].sectors;
    const std::string target = standard ? record.path : std::string();
    Command command;
    switch (pick) {
    case Pick::search:
    case Pick::search_connect:
        command = {"_FindDROVAs", VELKOR_EV_SEARCH, [] { return _FindDROVAs(-1, 0, 50); }, present_interfaces() > 0,
                   findable(), protocol::kOpDeviceQuery};
        if (pick == Pick::search_connect) {
            command.name = "_FindDROVAs(connect)";
            command.call = [] { return _FindDROVAs(0, 0, 50); };
            command.connect_after = true;
        }
        command.always_ends = true;
        break;
    case Pick::connect: {
        const auto found = found_target(prefer_other);
        const int wanted = found ? static_cast<int>(found->serial) : 0x123;
        const int index = found ? found->index : 0;
        const Device *there = found ? device_at(found->path) : nullptr;
        command = {"_Connect", VELKOR_EV_CONNECT,
                   [wanted, index, mode = static_cast<u8>(word(random_))] { return _Connect(wanted, index, mode); },
                   !standard && found.has_value() && Session::instance().connection_state() == kNotConnected,
                   there != nullptr && !there->model->claim().claimed && !there->model->unplugged(), protocol::kOpConnect};
        if (found) command.device = found->path;
        break;
    }
    case Pick::disconnect: command = {"_Disconnect", VELKOR_EV_DISCONNECT, _Disconnect, standard, true, protocol::kOpDisconnect}; break;
    case Pick::keep_alive: command = {"_CommRefresh", -1, _CommRefresh, standard, true, protocol::kOpKeepAlive}; break;
    case Pick::address: {
        const TAddress place{word(random_) % 0x5000, static_cast<u8>(word(random_) % 8)};
        command = {"_Address", VELKOR_EV_ADDRESS, [place] { return _Address(place); }, standard, false, protocol::kOpAddress};
        break;
    }
    case Pick::read_info: command = {"_ReadInfo", VELKOR_EV_READINFO, _ReadInfo, standard, true, protocol::kOpDeviceQuery}; break;
    case Pick::flash_info: command = {"_FlashInfo", VELKOR_EV_FLASHINFO, _FlashInfo, standard, true, protocol::kOpFlashInfo}; break;
    case Pick::app_info: {
        const std::uint32_t id = word(random_) % 2 ? kInstalledApp : word(random_) % 20;
        command = {"_AppInfo", VELKOR_EV_APPINFO, [id] { return _AppInfo(id); }, standard, false, protocol::kOpAppInfo};
        break;
    }
    case Pick::erase: {
        const auto sector = static_cast<u8>(word(random_) % (sectors + 1));  // the last is no flash sector
        command = {"_Erase", VELKOR_EV_ERASE, [sector] { return _Erase(sector); }, standard, sector < sectors, protocol::kOpErase};
        break;
    }
    case Pick::download: {
        // Records within one sector: an application image, or random blocks.
        // Only the connected device's own complete table lets it through.
        const int area = static_cast<int>(word(random_) % (sectors + 1));
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
        const bool table = table_.complete && table_.device.path == record.path;
        command = {"_Download", VELKOR_EV_DOWNLOAD, [area, list] { return _Download(area, list.get()); },
                   standard && table, false, std::nullopt, true};
        break;
    }
    case Pick::prg_data: {
        std::vector<u8> data(1 + word(random_) % 400, 0x5A);
        command = {"_PrgData", VELKOR_EV_PRGDATA,
                   [data]() mutable {
                       BinBlock block{0, static_cast<u32>(data.size()), data.data()};
                       return _PrgData(&block);
                   },
                   standard, false, protocol::kOpProgramData};
        break;
    }
    case Pick::program: {
        const u64 address = word(random_) % 0x4000;
        const int area = static_cast<int>(word(random_) % 7);
        command = {"_Program", VELKOR_EV_PROGRAM, [address, area] { return _Program(address, area); }, standard, false,
                   protocol::kOpProgram};
        break;
    }
    case Pick::checksum: {
        const u64 address = word(random_) % 0x4000;
        const u32 length = word(random_) % 0x800;
        const auto checksum = static_cast<u8>(word(random_));
        const int area = static_cast<int>(word(random_) % 7);
        command = {"_CheckSum", VELKOR_EV_CHECKSUM, [=] { return _CheckSum(address, length, checksum, area); }, standard,
                   false, protocol::kOpCheckSum};
        break;
    }
    case Pick::start_app: {
        static constexpr std::array kIds{kInstalledApp, kRefusedApp, kMalformedApp, kHandoverApp, 3u, 77u};
        const std::uint32_t id = kIds[word(random_) % kIds.size()];
        command = {"_StartApp", VELKOR_EV_STARTAPP, [id] { return _StartApp(id); }, standard, false, protocol::kOpStartApp};
        command.hands_over = id == kHandoverApp;
        break;
    }
    case Pick::auto_start: {
        const std::uint32_t id = word(random_) % 2 ? 0xFFFFFFFFu : kInstalledApp;
        command = {"_AutoStart", VELKOR_EV_AUTOSTART, [id] { return _AutoStart(id); }, standard, id == 0xFFFFFFFFu,
                   protocol::kOpAutoStart};
        break;
    }
    case Pick::wrsn: {
        // Now and then a number without a serial number's form: refused with (15,3).
        const bool valid = word(random_) % 10 != 0;
        const std::uint32_t sn = valid ? 1 + word(random_) % 0xFFFFFD : 0x1000000 + word(random_) % 0x100;
        command = {"_Wrsn", VELKOR_EV_WRSN, [sn] { return _Wrsn(sn); }, standard && valid, true, protocol::kOpWriteSerial};
        break;
    }
    case Pick::reset: command = {"_Reset", VELKOR_EV_DISCONNECT, _Reset, true, false, protocol::kOpReset}; break;
    case Pick::device_close:
        command = {"_DeviceClose", VELKOR_EV_DISCONNECT, [] { _DeviceClose(); return 0; }, true, false, std::nullopt};
        break;
    }
    command.pick = pick;
    if (pick != Pick::connect && !command.always_ends) command.device = target;
    return command;
}

Soak::Command Soak::choose() {
    if (!plan_.empty()) {
        const Pick pick = plan_.front();
        plan_.pop_front();
        return make_command(pick, true);
    }
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> picks(0, kPicks - 1);
    for (;;) {
        Command command = make_command(static_cast<Pick>(picks(random_)));
        if (percent(random_) < 8) return command;  // whatever the state: the gates must refuse it cleanly
        const bool wants_connection = command.pick != Pick::search && command.pick != Pick::search_connect &&
                                      command.pick != Pick::connect;
        if (connected() == wants_connection) return command;
    }
}

// A host that finds its device out of step does what a user would: forgets
// the connection, or power-cycles the devices still claimed.
Soak::Command Soak::recovery() {
    plan_.clear();
    if (connected()) return make_command(Pick::device_close);
    for (Device &device : devices_) {
        if (!device.attached || !(device.model->claim().claimed || device.model->unplugged())) continue;
        device.model->replug();
        ++figures_.power_cycles;
    }
    return make_command(Pick::search);
}

// A device that stays claimed without a connection of ours to it (a claim
// left by a lost link, a forgotten connection or an ended session) refuses
// every connect: after three steps the user power-cycles it.
void Soak::clear_stale_claims() {
    for (Device &device : devices_) {
        if (device.stale_steps < 3 || !device.attached) continue;
        device.model->replug();
        device.stale_steps = 0;
        ++figures_.power_cycles;
    }
}

// Interfaces come and go between commands: one is pulled out, comes back
// under its name (the interface only dropped out) or is plugged into the
// other port (a power cycle), which moves the list position of the other
// device, also under a live connection. True when the change touched the
// device the library holds or a claimed one.
bool Soak::churn() {
    std::uniform_int_distribution<int> percent(0, 99);
    const Record record = connect_record();
    const bool holds = connected();
    const auto touches = [&](const Device &d) {
        return (holds && d.path() == record.path) || d.model->claim().claimed;
    };
    for (Device &device : devices_) {
        if (device.attached || percent(random_) >= 35) continue;
        const bool before = touches(device);
        if (percent(random_) < 50) {
            attach(device, device.name);
            ++figures_.interfaces["back under its name"];
        } else {
            device.model->replug();
            attach(device, 1 - device.name);
            ++figures_.interfaces["plugged into the other port"];
        }
        return before || touches(device);
    }
    const int roll = percent(random_);
    if (roll >= 7) return false;
    std::vector<Device *> others, held;
    for (Device &device : devices_)
        if (device.attached) (holds && device.path() == record.path ? held : others).push_back(&device);
    if (roll < 4) {
        // Mostly a device beside the connected one; now and then the connected one.
        std::vector<Device *> &from = !held.empty() && (others.empty() || percent(random_) < 25) ? held : others;
        if (from.empty()) return false;
        Device &device = *from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random_)];
        const bool touched = touches(device);
        usb::detach_in_process_device(device.path());
        device.attached = false;
        device.stale_steps = 0;
        ++figures_.interfaces["pulled out"];
        return touched;
    }
    if (others.empty()) return false;
    Device &device = *others[std::uniform_int_distribution<std::size_t>(0, others.size() - 1)(random_)];
    const bool touched = touches(device);
    usb::detach_in_process_device(device.path());
    device.model->replug();
    attach(device, 1 - device.name);
    device.stale_steps = 0;
    ++figures_.interfaces["moved to the other port"];
    return touched;
}

std::optional<sim::FaultRule> Soak::plant_fault(const Command &command) {
    std::uniform_int_distribution<int> percent(0, 99);
    if (percent(random_) >= 30 || command.pick == Pick::device_close) return std::nullopt;
    // On the device the command talks to; a search asks both, so either.
    Device *target = nullptr;
    if (!command.device.empty()) {
        target = device_at(command.device);
    } else {
        std::vector<Device *> present;
        for (Device &device : devices_)
            if (device.attached) present.push_back(&device);
        if (!present.empty()) target = present[std::uniform_int_distribution<std::size_t>(0, present.size() - 1)(random_)];
    }
    if (target == nullptr) return std::nullopt;
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
    target->model->add_fault(rule);
    ++figures_.faults[sim::fault_kind_name(rule.kind)];
    return rule;
}

// `primary`: called with the library idle, so a search passes its gate even
// when it returns 1 for want of an interface, and then still ends.
Soak::Issued Soak::issue(const Command &command, bool primary) {
    ++figures_.commands[command.name];
    Record record = connect_record();
    const int result = command.call();
    result == 0 ? ++figures_.accepted : ++figures_.refused;
    return {command, result == 0 || (primary && command.always_ends), result, std::move(record)};
}

// A second command while the first may still be in flight: the gates must
// refuse it, or the first has already ended (the wire monitor tells).
void Soak::intrude(std::vector<Issued> &issued) {
    std::uniform_int_distribution<int> picks(0, kPicks - 1);
    Command second = make_command(static_cast<Pick>(picks(random_)));
    if (second.pick == Pick::device_close) return;  // forgets the command in flight by design
    // Without an interface a search returns 1 whether it ran or met the busy gate.
    if (second.always_ends && present_interfaces() == 0) return;
    ++figures_.intrusions;
    issued.push_back(issue(second, false));
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
        std::size_t missing = 0;
        for (const auto &[kind, n] : wanted) missing += n > count(all, kind) ? n - count(all, kind) : 0;
        // Every completion is awaited, a lost link's commands' too (each still
        // posts its own failure). A handler may have ended its command and
        // still hold the exchange, going on (a search's period end starts the
        // connect it was asked for), and its events reach the ring only once
        // it has let go and handed them over: taking the exchange waits for
        // the first, the count of events in hand tells the second.
        const auto quiet = [&] {
            return idle() && running->notifier.queued() == 0 && ExchangeGuard::posts_in_hand() == 0;
        };
        const auto settled = [&] {
            const std::lock_guard exchange_let_go(session.exchange_lock);
            return quiet();
        };
        if (missing == 0 && quiet() && settled()) {
            // Everything posted before the marker has been delivered once the
            // marker has; the pause covers a time-out handler that has ended
            // its command but not yet posted.
            const Event marker{kMarker, ++markers_};
            session.post(marker.first, marker.second);
            if (!events_.wait_for(marker, std::chrono::seconds(10))) return fail("an event posted by the test never arrived");
            std::this_thread::sleep_for(settle);
            const auto now = events_.events();
            if (quiet() && now.back() == marker) {
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
    // A lost link ends the command in flight with its own failure too (a
    // disconnect's is the (10,0) of the lost link).
    if (deficit > 0) return fail("an accepted command ended without its completion event");
    // Only a live connection can be lost; a connect that goes unanswered
    // ends with its own time-out.
    if (lost > 0 && !held_before_ && count(all, VELKOR_EV_CONNECT, 0) == 0)
        return fail("a link was lost where no connection was held");

    const Issued &primary = issued.front();
    if ((primary.result == 0) != primary.command.expected)
        return fail(primary.result == 0 ? "accepted although its gate should refuse it"
                                        : "refused although the library was idle and in the state it needs");
    if (clean && primary.accepted && primary.command.sure_success && primary.command.terminal >= 0 &&
        count(all, primary.command.terminal, 0) == 0)
        return fail("failed on a healthy device");
    if (clean && primary.accepted && primary.command.terminal < 0 && lost > 0) return fail("keep-alive lost the link on a healthy device");
}

// Every download address frame names the staging area of the device it
// reaches: the sector count of the connected device's own table. Only a
// table that a planted fault may have bent is not held to it.
void Soak::check_downloads(const std::vector<Issued> &issued) {
    // A reading in this step may have replaced the table the walk knows.
    const bool trusted = table_.trusted && std::ranges::none_of(issued, [](const Issued &i) {
                             return i.accepted && i.command.pick == Pick::flash_info;
                         });
    for (Device &device : devices_) {
        for (const unsigned area : device.monitor->take_download_areas()) {
            if (!trusted) continue;
            ++figures_.areas_checked;
            if (area != device.model->sector_count()) {
                std::ostringstream out;
                out << "a download's address frame reached " << device.path() << " with staging area " << area
                    << ", but that device has " << device.model->sector_count() << " sectors";
                return fail(out.str());
            }
        }
    }
}

// The walk's own account of the flash table, from the outcomes the host saw:
// a reading belongs to the device connected when it was asked for and is
// complete when it succeeded; a connect to another device (path or serial
// number) drops it, a connect to the same one keeps it.
void Soak::update_table(const std::vector<Issued> &issued, bool fault) {
    std::vector<const Issued *> readings;
    for (const Issued &i : issued)
        if (i.accepted && i.command.pick == Pick::flash_info) readings.push_back(&i);
    std::size_t next = 0;
    const Record now = connect_record();
    for (const Event &e : step_events_) {
        if (e.first == VELKOR_EV_CONNECT && e.second == 0) {
            if (table_.device.path != now.path || table_.device.serial != now.serial) table_ = {};
            last_connected_path_ = now.path;
        } else if (e.first == VELKOR_EV_FLASHINFO && next < readings.size()) {
            table_ = {e.second == 0, !fault, readings[next++]->record};
        }
    }
}

// The library says connected exactly when the device at the connected path
// is claimed by the library's identifier, and no other device is.
void Soak::check_connection(bool disturbed, const std::vector<Issued> &issued) {
    const int state = Session::instance().connection_state();
    if (state != kConnected && state != kNotConnected) {
        std::ostringstream out;
        out << "connection state " << state << " with no command in flight";
        return fail(out.str());
    }
    const bool holds = state == kConnected;
    const Record record = connect_record();
    std::string disagreement;
    bool reached = false;
    for (Device &device : devices_) {
        if (!device.attached) continue;
        const bool at_record = holds && device.path() == record.path;
        const bool claimed = device.model->claim().claimed;
        reached = reached || at_record;
        device.stale_steps = claimed && !at_record ? device.stale_steps + 1 : 0;
        if (claimed_by_us(device) == at_record || !disagreement.empty()) continue;
        disagreement = at_record ? "the library says connected to " + device.path() + " but that device " +
                                       (claimed ? "is claimed by another identifier" : "is not claimed")
                                 : "the device at " + device.path() + " is claimed by the library's identifier but the library " +
                                       (holds ? "holds '" + record.path + "'" : "is not connected");
    }
    if (holds && !reached && disagreement.empty())
        disagreement = "the library says connected to '" + record.path + "' but no device is listed there";
    if (disagreement.empty()) {
        desync_ = false;
        desync_steps_ = 0;
        return;
    }
    const bool explained = disturbed || desync_ || troubled(step_events_) ||
                           std::ranges::any_of(issued, [](const Issued &i) {
                               return i.accepted && (i.command.pick == Pick::device_close || i.command.pick == Pick::reset);
                           });
    if (!explained) return fail(disagreement);
    desync_ = true;
    ++desync_steps_;
}

// Steers the walk into what it would rarely hit by chance: a reset once the
// device was let go, and the other device after reading one's flash table.
void Soak::plan_follow_ups(const std::vector<Issued> &issued) {
    if (!plan_.empty() || desync_) return;
    std::uniform_int_distribution<int> percent(0, 99);
    const Issued &primary = issued.front();
    if (!primary.accepted) return;
    const bool released = primary.command.pick == Pick::device_close ||
                          (primary.command.pick == Pick::disconnect && count(step_events_, VELKOR_EV_DISCONNECT, 0) > 0);
    if (released && percent(random_) < 40) {
        plan_ = {Pick::reset};
        ++figures_.scripts["reset after the release"];
        return;
    }
    if (primary.command.pick == Pick::flash_info && count(step_events_, VELKOR_EV_FLASHINFO, 0) > 0 &&
        present_interfaces() > 1 && percent(random_) < 25) {
        plan_ = {Pick::download, Pick::disconnect, Pick::search, Pick::connect, Pick::download, Pick::flash_info, Pick::download};
        ++figures_.scripts["the other device after a flash table"];
    }
}

void Soak::step() {
    events_.clear();
    step_events_.clear();
    std::uniform_int_distribution<int> percent(0, 99);
    bool disturbed = churn();
    clear_stale_claims();
    if (disturbed) clean_steps_ = 0;
    if (desync_steps_ < 3 && percent(random_) == 0) return series_step(disturbed);

    Command command = desync_steps_ >= 3 ? recovery() : choose();
    if (command.pick == Pick::search && desync_steps_ >= 3) desync_steps_ = 0;
    const auto fault = plant_fault(command);
    last_step_ = command.name + (fault ? std::string(" with fault ") + sim::fault_kind_name(fault->kind) : "");

    held_before_ = connected();
    std::vector<Issued> issued{issue(command, true)};
    if (command.pick == Pick::download && issued.front().result != 0 && connected() && !command.expected)
        ++figures_.table_refusals;
    if (issued.front().result == 0 && percent(random_) < 15) intrude(issued);
    if (issued.size() > 1) last_step_ += ", then " + issued.back().command.name + (issued.back().result == 0 ? " accepted" : " refused");
    wait_for_completion(issued);
    if (!failure_.empty()) return;
    finish_step(issued, disturbed, fault.has_value());
}

// The checks after the step, and what the walk learns from it.
void Soak::finish_step(const std::vector<Issued> &issued, bool disturbed, bool fault, bool forgot_connection) {
    std::uniform_int_distribution<int> percent(0, 99);
    for (const Issued &i : issued)
        if (i.accepted && i.command.terminal >= 0)
            ++figures_.outcomes[count(step_events_, i.command.terminal, 0) > 0 ? "success" : "failure"];

    for (const Device &device : devices_)
        if (auto wrong = device.monitor->violation()) return fail(*wrong);
    const bool settled = clean_steps_ >= 2 && !desync_ && !disturbed && !any_unplugged();
    check_events(issued, settled && !fault);
    if (!failure_.empty()) return;
    check_downloads(issued);
    if (!failure_.empty()) return;
    update_table(issued, fault);

    disturbed = disturbed || fault;
    for (Device &device : devices_) {
        device.model->clear_faults();
        if (device.model->unplugged() && percent(random_) < 30) {
            device.model->replug();
            disturbed = true;
        }
    }
    clean_steps_ = disturbed || any_unplugged() ? 0 : clean_steps_ + 1;
    check_connection(disturbed || forgot_connection, issued);
    if (!failure_.empty()) return;
    plan_follow_ups(issued);
    previous_step_ = last_step_ + ", events " + describe(step_events_);
}

// A repeated search that the host ends: mostly by closing the session in the
// middle of it (the series goes with the session; the next session's plain
// search reports its own (12,x)), otherwise by stopping it.
void Soak::series_step(bool disturbed) {
    std::uniform_int_distribution<int> percent(0, 99);
    const bool close = percent(random_) < 70;
    last_step_ = close ? "_StartNetworkScanning, _Close, _Initialize, _FindDROVAs" : "_StartNetworkScanning, _StopNetworkScanning";
    const bool listed = findable();
    scan_list_.lines = 0;
    scan_list_.after_close = 0;
    scan_list_.closed = false;

    held_before_ = connected();
    ++figures_.commands["_StartNetworkScanning"];
    const int started = _StartNetworkScanning(&scan_list_.strings);
    started == 0 ? ++figures_.accepted : ++figures_.refused;
    // Its result is its first search's: 1 without an interface, and the series runs either way.
    if (started != (present_interfaces() > 0 ? 0 : 1))
        return fail("_StartNetworkScanning returned " + std::to_string(started) + " with " +
                    std::to_string(present_interfaces()) + " interface(s) present");
    if (listed) {
        // Each search of the series that found a device adds its line.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (scan_list_.lines == 0) {
            if (std::chrono::steady_clock::now() > until) return fail("the series added no line although a device was there to find");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random_)));

    // Between two searches the series holds the command: a host search is busy.
    ++figures_.intrusions;
    ++figures_.commands["_FindDROVAs"];
    if (_FindDROVAs(-1, 0, 50) == 0) return fail("a search was accepted between two searches of a series");
    ++figures_.refused;

    std::vector<Issued> issued;
    if (!close) {
        _StopNetworkScanning();
        ++figures_.series["stopped"];
        // The search the series is at ends it, with the one (12,x) of the series.
        Command last = make_command(Pick::search);
        last.name = "_StartNetworkScanning";
        last.expected = started == 0;
        last.sure_success = listed;
        issued.push_back({last, true, started, connect_record()});
        wait_for_completion(issued);
        if (!failure_.empty()) return;
        finish_step(issued, disturbed, false);
        return;
    }

    for (Device &device : devices_) device.monitor->set_phase(WireMonitor::Phase::closing);
    _Close();
    scan_list_.closed = true;
    for (Device &device : devices_) device.monitor->set_phase(WireMonitor::Phase::closed);
    ++figures_.series["closed with the session"];
    table_ = {};  // it went with the session
    plan_.clear();
    // A thread of the old session still at work would show itself meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (const Device &device : devices_)
        if (auto wrong = device.monitor->violation()) return fail(*wrong);
    if (scan_list_.after_close != 0) return fail("a line was added to the host's list after _Close had returned");
    if (_Initialize(&EventRecorder::callback, nullptr, 0) != 0) return fail("the session did not start again after _Close");
    for (Device &device : devices_) device.monitor->set_phase(WireMonitor::Phase::open);
    events_.clear();

    // The new session serves: a plain search ends with its own (12,x), which
    // a series left behind would swallow.
    held_before_ = false;
    issued.push_back(issue(make_command(Pick::search), true));
    wait_for_completion(issued);
    if (!failure_.empty()) return;
    if (scan_list_.after_close != 0) return fail("a line was added to the host's list after _Close had returned");
    // The connection went with the old session; a claim of it may be left.
    finish_step(issued, disturbed, false, true);
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
    out << "\n  interfaces:";
    for (const auto &[name, n] : figures_.interfaces) out << ' ' << name << '=' << n;
    out << "\n  series:";
    for (const auto &[name, n] : figures_.series) out << ' ' << name << '=' << n;
    out << "\n  steered:";
    for (const auto &[name, n] : figures_.scripts) out << ' ' << name << '=' << n;
    out << "\n  downloads refused for want of the connected device's flash table=" << figures_.table_refusals
        << ", staging areas checked=" << figures_.areas_checked;
    return out.str();
}

}  // namespace velkor::testing
