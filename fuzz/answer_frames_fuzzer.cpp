// Any answer frames in any command state. The input chooses the commands a
// host calls and when periods run out; for every frame the host writes it
// also chooses how the simulated device's honest answer reaches the library:
// as it is, dropped, cut, with a false length, corrupted, replaced by frames
// of its own, doubled, followed by strays, on another channel, or not at all
// because the device was pulled out. After every step the events delivered
// so far must tell a consistent story: each accepted command ends with at
// most one completion, a command state that has gone idle owes no
// completion, and a command in flight always has a period running. The
// session is driven: the input also says when the link's reader takes a
// block the device sent beyond the answer its sender read.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "device_model.h"
#include "driven_session.h"
#include "fuzz_input.h"
#include "protocol/exchange.h"
#include "usb/in_process_device.h"

namespace velkor::fuzzing {
namespace {

using usb::Block;

constexpr const char *kDeviceName = "drova0";
constexpr std::uint32_t kApplicationId = 100;

sim::DeviceConfig device_config() {
    sim::DeviceConfig config;
    config.sectors = 3;  // a flash table of two frames
    config.sector_size = 0x1000;
    config.staging_size = 0x1000;
    sim::ApplicationImage image;
    image.sector = 1;
    image.info.id = kApplicationId;
    image.info.name = "fuzzed application";
    image.payload_size = 64;
    config.applications = {image};
    return config;
}

// The simulated device, its answers bent as the input says. Without an
// input it answers honestly.
class BentDevice final : public usb::InProcessDevice {
public:
    explicit BentDevice(std::shared_ptr<sim::DeviceModel> model) : model_(std::move(model)) {}

    void bend_with(FuzzInput *input) { input_ = input; }

    void on_open() override { model_->link_opened(); }
    void on_close() override { model_->link_closed(); }

    bool on_host_block(const std::uint8_t *data, std::size_t size, std::vector<Block> &answers) override {
        std::vector<Block> honest = model_->host_block({data, size}).answers;
        if (input_ == nullptr) {
            answers = std::move(honest);
            return true;
        }
        FuzzInput &in = *input_;
        switch (in.byte() % 11) {
        case 0:
            break;
        case 1:  // silence
            honest.clear();
            break;
        case 2:  // one byte corrupted
            for (Block &frame : honest) {
                if (frame.empty() || in.byte() % 2 != 0) continue;
                const std::size_t at = in.u16() % frame.size();
                frame[at] ^= static_cast<std::uint8_t>(in.byte() | 1);
            }
            break;
        case 3:  // cut short
            for (Block &frame : honest) frame.resize(in.u16() % (frame.size() + 1));
            break;
        case 4:  // a length field that lies
            for (Block &frame : honest) {
                if (frame.size() < 8) continue;
                const std::uint16_t claimed = in.u16();
                frame[6] = static_cast<std::uint8_t>(claimed >> 8);
                frame[7] = static_cast<std::uint8_t>(claimed);
            }
            break;
        case 5:  // frames of the input's own instead
            honest.clear();
            add_raw_frames(in, honest);
            break;
        case 6:  // strays behind the answer
            add_raw_frames(in, honest);
            break;
        case 7: {  // each answer twice
            const std::size_t count = honest.size();
            for (std::size_t k = 0; k < count; ++k) honest.push_back(honest[k]);
            break;
        }
        case 8:  // on another channel
            for (Block &frame : honest)
                if (!frame.empty()) frame[3] = in.byte();
            break;
        case 9:  // pulled out: the write fails
            return false;
        case 10:  // a well-formed frame with a body of the input's
            honest.clear();
            honest.push_back(answer_with_body(in, data[20]));
            break;
        }
        answers = std::move(honest);
        return true;
    }

private:
    static void add_raw_frames(FuzzInput &in, std::vector<Block> &frames) {
        const int count = 1 + in.byte() % 3;
        for (int k = 0; k < count; ++k) frames.push_back(in.bytes(in.u16() % 601));
    }

    static Block answer_with_body(FuzzInput &in, std::uint8_t opcode) {
        const std::size_t length = in.u16() % 493;
        Block frame(20 + length, 0);
        frame[6] = static_cast<std::uint8_t>(length >> 8);
        frame[7] = static_cast<std::uint8_t>(length);
        const auto body = in.bytes(length);
        std::copy(body.begin(), body.end(), frame.begin() + 20);
        if (length > 0 && in.byte() % 2 == 0) frame[20] = opcode;
        return frame;
    }

    std::shared_ptr<sim::DeviceModel> model_;
    FuzzInput *input_ = nullptr;
};

enum class Step {
    search, connect, disconnect, read_info, flash_info, app_info, erase, download, prg_data, program, check_sum,
    start_app, auto_start, reset, write_serial, address, refresh, device_close, period_end, stray_dispatch,
    start_scanning, stop_scanning, restart, link_read, count
};

// The completion event of each command state; -1: none (keep-alive).
int completion_of_state(int state) {
    static constexpr std::array<int, kIdle> events = {
        VELKOR_EV_ERASE,     VELKOR_EV_PROGRAM,  VELKOR_EV_CHECKSUM,   VELKOR_EV_PRGDATA,
        VELKOR_EV_DOWNLOAD,  VELKOR_EV_ADDRESS,  VELKOR_EV_WRSN,       VELKOR_EV_FLASHINFO,
        VELKOR_EV_AUTOSTART, VELKOR_EV_APPINFO,  VELKOR_EV_STARTAPP,   VELKOR_EV_CONNECT,
        VELKOR_EV_DISCONNECT, VELKOR_EV_SEARCH,  -1,                   VELKOR_EV_READINFO};
    return state >= 0 && state < kIdle ? events[static_cast<std::size_t>(state)] : -1;
}

// What the target saw of one step as it ran.
struct StepRecord {
    Step step;
    int accepted_state = -1;  // the command state the step started, if it started one
    int state_before = kIdle;
    bool taken_over = false;  // accepted while another command was in flight
    bool search_connects = false;
    int state_after = kIdle;
    int connection_after = kNotConnected;
    bool period_running_after = false;
};

bool is_valid_error(int code) {
    switch (code) {
    case VELKOR_ERR_INVALID_ANSWER:
    case VELKOR_ERR_TIMER_DELAY:
    case VELKOR_ERR_SOCKET:
    case VELKOR_ERR_ETHERNET_FIELD:
        return false;
    default:
        return code >= VELKOR_ERR_NOT_INITIALISED && code <= VELKOR_ERR_APPLICATION;
    }
}

// Follows the completions a host is owed, step by step.
class CompletionLedger {
public:
    void check(const StepRecord &record, const StepEvents &events) {
        // What a failure reports along with its reason.
        const auto fail = [&](const char *what) {
            std::fprintf(stderr, "step %d: state %d -> %d, connection %d, events:", static_cast<int>(record.step),
                         record.state_before, record.state_after, record.connection_after);
            for (const auto &[a, b] : events) std::fprintf(stderr, " (%d,%d)", a, b);
            std::fprintf(stderr, "\n");
            fuzzing::fail(what);
        };
        if (record.step == Step::device_close || record.step == Step::restart) {
            owed_.fill(0);  // ended by the host, without an answer
            connect_credit_ = 0;
        }
        if (record.taken_over) {
            // A step of a download sequence takes the place of the command
            // in flight; that command ends without its own completion.
            const int replaced = completion_of_state(record.state_before);
            if (replaced >= 0 && replaced != VELKOR_EV_DOWNLOAD && owed_[replaced] > 0) --owed_[replaced];
        }
        if (record.accepted_state >= 0) {
            const int event = completion_of_state(record.accepted_state);
            if (event >= 0) ++owed_[event];
            if (event >= 0 && owed_[event] > 1) fail("two commands of one kind in flight");
            if (record.accepted_state == kSearch) search_connects_ = record.search_connects;
        }
        bool link_lost = false;
        std::array<bool, 15> completed{};
        for (const auto &[a, b] : events) {
            if (a == VELKOR_EV_ERROR) {
                if (!is_valid_error(b)) fail("an error event with a code the host may not see");
                link_lost = link_lost || b == VELKOR_ERR_LINK_LOST;
                continue;
            }
            if (a < 0 || a >= VELKOR_EV_ERROR) fail("an event pair with an unknown operation");
            if (b != 0 && b != 1) fail("an operation's event with a result other than 0 or 1");
            // A reset ends the connection at once, whatever is in flight;
            // a disconnect in flight still ends on its own.
            if (record.step == Step::reset && a == VELKOR_EV_DISCONNECT && b == 0) continue;
            completed[a] = true;
            settle(a, b);
            if (unowed_) fail("a completion event for a command that was not in flight");
        }
        if (link_lost) {
            // Three silent periods in a row: the command ends without its
            // completion and the connection is gone.
            owed_.fill(0);
        }
        if (record.state_after == kConnect && owed_[VELKOR_EV_CONNECT] == 0 && connect_credit_ > 0) {
            connect_credit_ = 0;  // the connect after a search is on its way
            ++owed_[VELKOR_EV_CONNECT];
        }
        if (record.state_after == kIdle) {
            if (record.connection_after == kConnecting) owed_[VELKOR_EV_CONNECT] = 0;  // the device is still busy
            for (int event = 0; event < VELKOR_EV_ERROR; ++event)
                if (owed_[event] != 0) fail("a command ended without its completion event");
            connect_credit_ = 0;
        } else {
            if (!record.period_running_after) fail("a command in flight without a running period would never end");
            const int in_flight = completion_of_state(record.state_after);
            if (in_flight >= 0 && completed[in_flight] && in_flight != VELKOR_EV_DOWNLOAD &&
                owed_[VELKOR_EV_DOWNLOAD] == 0)
                fail("a command still in flight after its completion event");
        }
    }

private:
    void settle(int a, int b) {
        if (owed_[a] > 0) {
            --owed_[a];
            if (a == VELKOR_EV_SEARCH && b == 0 && search_connects_) connect_credit_ = 1;
            return;
        }
        switch (a) {
        case VELKOR_EV_DISCONNECT:
            if (b == 0) return;  // the connection ended otherwise (reset, lost link, started application)
            break;
        case VELKOR_EV_CONNECT:
            if (connect_credit_ > 0) {
                --connect_credit_;
                return;
            }
            break;
        case VELKOR_EV_ADDRESS:
        case VELKOR_EV_PRGDATA:
        case VELKOR_EV_CHECKSUM:
        case VELKOR_EV_PROGRAM:
            if (owed_[VELKOR_EV_DOWNLOAD] > 0) return;  // a step of the download
            break;
        default:
            break;
        }
        unowed_ = true;
    }

    std::array<int, 15> owed_{};
    bool unowed_ = false;
    int connect_credit_ = 0;
    bool search_connects_ = false;
};

// An area number above a 32-bit address.
std::uint64_t area_address(FuzzInput &in) {
    const std::uint32_t address = in.u32();
    return std::uint64_t{in.byte()} << 32 | address;
}

TBinList *make_blocks(FuzzInput &in) {
    TBinList *list = _BinListCreate();
    const int count = in.byte() % 4;
    for (int k = 0; k < count; ++k) {
        const std::uint32_t address = in.u32();
        auto data = in.bytes(in.u16() % 1201);
        BinBlock block{address, static_cast<u32>(data.size()), data.data()};
        _BinListAdd(list, &block);
    }
    return list;
}

void VELKOR_CALL ignore_clear(void *) {}
void VELKOR_CALL ignore_line(void *, const char *) {}
TStrings scan_lines{nullptr, ignore_clear, ignore_line};

class FrameFuzzer {
public:
    FrameFuzzer() {
        model_ = std::make_shared<sim::DeviceModel>(device_config());
        model_->set_log_limit(8);
        device_ = std::make_shared<BentDevice>(model_);
        usb::attach_in_process_device(kDeviceName, device_);
    }
    ~FrameFuzzer() {
        device_->bend_with(nullptr);
        usb::detach_in_process_device(kDeviceName);
    }

    void run(FuzzInput &in) {
        // Where the input starts: not connected, connected, or connected
        // with the flash table read (which a download needs).
        const int start = in.byte() % 3;
        if (start >= 1) {
            perform(Step::search, 0);
            perform(Step::period_end, 0);
            perform(Step::connect, 1);
        }
        if (start >= 2) perform(Step::flash_info, 0);
        check_steps();

        device_->bend_with(&in);
        for (int steps = 0; steps < 64 && !in.exhausted(); ++steps)
            perform(static_cast<Step>(in.byte() % static_cast<int>(Step::count)), in.byte(), &in);
        device_->bend_with(nullptr);

        // Whatever is still in flight ends by its period.
        _StopNetworkScanning();
        for (int k = 0; k < 16 && driven_.session().command.state() != kIdle; ++k) perform(Step::period_end, 0);
        check_steps();
        if (driven_.session().command.state() != kIdle) fail("commands kept following each other without end");
    }

private:
    void perform(Step step, std::uint8_t arg, FuzzInput *input = nullptr) {
        FuzzInput none(nullptr, 0);
        FuzzInput &in = input ? *input : none;
        Session &session = driven_.session();
        StepRecord record{step};
        const Ticket before = session.command.current();
        record.state_before = before.state;
        int result = 1;
        switch (step) {
        case Step::search:
            record.search_connects = arg & 1;
            _FindDROVAs(record.search_connects ? 0 : -1, 0, 1 + (arg >> 1));
            break;
        case Step::connect: {
            const int serial = arg & 1 ? static_cast<int>(model_->serial_word()) : static_cast<int>(in.u32());
            const std::uint8_t mode = in.byte();
            result = _Connect(serial, (arg >> 1) % 3 - 1, mode);
            break;
        }
        case Step::disconnect:
            result = _Disconnect();
            break;
        case Step::read_info:
            result = _ReadInfo();
            break;
        case Step::flash_info:
            result = _FlashInfo();
            break;
        case Step::app_info:
            result = _AppInfo(arg & 1 ? kApplicationId : in.u32());
            break;
        case Step::erase:
            result = _Erase(arg);
            break;
        case Step::download: {
            TBinList *blocks = make_blocks(in);
            result = _Download(arg % 6 - 1, blocks);
            _BinListFree(blocks);
            break;
        }
        case Step::prg_data: {
            auto data = in.bytes(in.u16() % 1201);
            const std::uint32_t address = in.u32();
            BinBlock block{address, static_cast<u32>(data.size()), data.data()};
            result = _PrgData(&block);
            break;
        }
        case Step::program: {
            const std::uint64_t address = area_address(in);
            result = _Program(address, arg % 6 - 1);
            break;
        }
        case Step::check_sum: {
            const std::uint64_t address = area_address(in);
            const std::uint16_t length = in.u16();
            result = _CheckSum(address, length, in.byte(), arg % 6 - 1);
            break;
        }
        case Step::start_app:
            result = _StartApp(arg & 1 ? kApplicationId : in.u32());
            break;
        case Step::auto_start:
            result = _AutoStart(arg & 1 ? kApplicationId : in.u32());
            break;
        case Step::reset:
            _Reset();
            break;
        case Step::write_serial:
            result = _Wrsn(arg & 1 ? in.u32() & 0xFFFFFF : in.u32());
            break;
        case Step::address:
            result = _Address(TAddress{in.u32(), arg});
            break;
        case Step::refresh:
            result = _CommRefresh();
            break;
        case Step::device_close:
            _DeviceClose();
            break;
        case Step::period_end:
            driven_.run_out_period();
            break;
        case Step::stray_dispatch: {
            // A block handed to the dispatcher as the link's receiver gets
            // it: exactly as long as it arrived, so any read past it shows.
            std::vector<std::uint8_t> block = in.bytes(in.u16() % 700);
            const std::uint32_t channel = arg % 2 == 0 ? 0 : in.byte();
            protocol::dispatch_response(session, channel, block.data(), static_cast<std::uint32_t>(block.size()));
            break;
        }
        case Step::start_scanning:
            _StartNetworkScanning(&scan_lines);
            break;
        case Step::stop_scanning:
            _StopNetworkScanning();
            break;
        case Step::restart:
            check_steps();  // the close drops events still queued
            driven_.restart();
            break;
        case Step::link_read:
            // The link's reader takes what the device sent beyond the answer
            // its sender read; left alone, it is dropped before the next frame.
            driven_.read_link();
            break;
        case Step::count:
            break;
        }
        const Ticket after = session.command.current();
        const bool started_search = (step == Step::search || step == Step::start_scanning) &&
                                    after.serial != before.serial && after.state == kSearch;
        if (started_search || (result == 0 && state_of(step) >= 0)) {
            record.accepted_state = started_search ? kSearch : state_of(step);
            record.taken_over = before.state != kIdle;
        }
        record.state_after = after.state;
        record.connection_after = session.connection_state();
        record.period_running_after = driven_.period_running();
        records_.push_back(record);
        driven_.end_step();
    }

    static int state_of(Step step) {
        switch (step) {
        case Step::connect: return kConnect;
        case Step::disconnect: return kDisconnect;
        case Step::read_info: return kReadInfo;
        case Step::flash_info: return kFlashInfo;
        case Step::app_info: return kAppInfo;
        case Step::erase: return kErase;
        case Step::download: return kDownloadStart;
        case Step::prg_data: return kPrgData;
        case Step::program: return kProgram;
        case Step::check_sum: return kCheckSum;
        case Step::start_app: return kStartApp;
        case Step::auto_start: return kAutoStart;
        case Step::write_serial: return kWrsn;
        case Step::address: return kAddress;
        case Step::refresh: return kKeepAlive;
        default: return -1;
        }
    }

    void check_steps() {
        const std::vector<StepEvents> events = driven_.flush();
        if (events.size() != records_.size()) fail("the event stream lost a step marker");
        for (std::size_t k = 0; k < events.size(); ++k) ledger_.check(records_[k], events[k]);
        records_.clear();
    }

    DrivenSession driven_;
    std::shared_ptr<sim::DeviceModel> model_;
    std::shared_ptr<BentDevice> device_;
    std::vector<StepRecord> records_;
    CompletionLedger ledger_;
};

}  // namespace
}  // namespace velkor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    velkor::fuzzing::FuzzInput input(data, size);
    velkor::fuzzing::FrameFuzzer fuzzer;
    fuzzer.run(input);
    return 0;
}
