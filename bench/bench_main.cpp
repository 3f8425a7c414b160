// The performance benchmarks, run in one process in a fixed order; prints one
// table of figures with the ratio or target each is judged by.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "allocation_counter.h"
#include "harness.h"
#include "session/clock.h"
#include "usb/in_process_device.h"

namespace velkor::bench {
namespace {

constexpr std::size_t kMiB = 1 << 20;
constexpr int kRounds = 5;  // library and bare runs per comparison

struct Row {
    std::string benchmark, figures, judged_by, verdict;
};
std::vector<Row> table;

void add(std::string benchmark, std::string figures, std::string judged_by, std::string verdict) {
    std::printf("  %-34s %s | %s %s\n", benchmark.c_str(), figures.c_str(), judged_by.c_str(), verdict.c_str());
    std::fflush(stdout);
    table.push_back({std::move(benchmark), std::move(figures), std::move(judged_by), std::move(verdict)});
}

std::string format(const char *pattern, auto... values) {
    char text[512];
    std::snprintf(text, sizeof(text), pattern, values...);
    return text;
}

const char *met(bool ok) { return ok ? "MET" : "MISSED"; }

// Frames of one download, recorded on the in-process device.
struct Recorded {
    Blocks blocks;
    std::vector<Frame> frames;
    std::vector<std::size_t> answers;  // per frame
};

Recorded record(RecordingDevice &device, Blocks blocks) {
    device.frames.clear();
    device.answers.clear();
    device.recording = true;
    download(kStagingArea, blocks);
    device.recording = false;
    return {std::move(blocks), std::move(device.frames), std::move(device.answers)};
}

// Runs `body` on a thread with a 256 KiB stack.
void on_small_stack(const std::function<void()> &body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    struct Call {
        const std::function<void()> *body;
        std::exception_ptr failure;
    } call{&body, nullptr};
    pthread_t thread;
    if (pthread_create(&thread, &attributes, [](void *arg) -> void * {
            auto *c = static_cast<Call *>(arg);
            try { (*c->body)(); } catch (...) { c->failure = std::current_exception(); }
            return nullptr;
        }, &call) != 0)
        throw std::runtime_error("pthread_create failed");
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    if (call.failure) std::rethrow_exception(call.failure);
}

// Which clock a comparison is judged by: the time that passed (the socket,
// where the daemon's process does half the work), or the CPU time of the
// calling thread (in-process, where the whole exchange runs on it and the
// time that passed also holds whatever else the shared cores ran).
enum class JudgedBy { wall, cpu };

Seconds judged(const Timing &timing, JudgedBy by) { return by == JudgedBy::cpu ? timing.cpu : timing.wall; }

// A library run and a bare run taken side by side, several times over.
struct Comparison {
    Timing library;       // medians
    Timing bare;          // medians
    JudgedBy by;
    double ratio;         // median of the rounds' library/bare ratios on that clock
    double lowest_ratio;  // the spread of those ratios
    double highest_ratio;
    int rounds;
};

template <typename Sample>
Sample median(std::vector<Sample> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

Timing median(const std::vector<Timing> &runs) {
    std::vector<Seconds> wall, cpu;
    for (const Timing &run : runs) {
        wall.push_back(run.wall);
        cpu.push_back(run.cpu);
    }
    return {median(wall), median(cpu)};
}

// Alternates the two sides, so a change in the machine's load lands on both;
// each round's ratio pairs two runs taken moments apart.
Comparison compare(int rounds, JudgedBy by, const std::function<Timing()> &library,
                   const std::function<Timing()> &bare) {
    std::vector<Timing> library_runs, bare_runs;
    std::vector<double> ratios;
    if (rounds > 1) {  // untimed: both sides start with their memory in place
        library();
        bare();
    }
    for (int i = 0; i < rounds; ++i) {
        library_runs.push_back(library());
        bare_runs.push_back(bare());
        ratios.push_back(judged(library_runs.back(), by) / judged(bare_runs.back(), by));
    }
    const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
    return {median(library_runs), median(bare_runs), by, median(ratios), *lowest, *highest, rounds};
}

void judge_download(const char *name, const Recorded &data, const Comparison &runs, double ratio_target,
                    bool per_chunk_target) {
    const double mb_per_s = static_cast<double>(data.blocks.bytes()) / 1e6 / runs.library.wall.count();
    const std::size_t chunks = data.blocks.chunks();
    const Seconds extra = judged(runs.library, runs.by) - judged(runs.bare, runs.by);
    const double per_chunk_us = extra.count() * 1e6 / static_cast<double>(chunks);
    bool ok = runs.ratio <= ratio_target;
    std::string target = format("ratio <= %.1f", ratio_target);
    if (per_chunk_target) {
        ok = ok && per_chunk_us < 2.0;
        target += ", < 2 us/chunk";
    }
    std::string figures = format("%.1f MB/s, %.3f s vs bare %.3f s", mb_per_s, runs.library.wall.count(),
                                 runs.bare.wall.count());
    if (runs.by == JudgedBy::cpu)
        figures += format(" (thread CPU %.3f s vs %.3f s)", runs.library.cpu.count(), runs.bare.cpu.count());
    figures += format(", %zu frames, library %.2f us/chunk, ratio %.2f", data.frames.size(), per_chunk_us, runs.ratio);
    if (runs.rounds > 1)
        figures += format(" (median of %d interleaved rounds, %.2f to %.2f)", runs.rounds, runs.lowest_ratio,
                          runs.highest_ratio);
    add(name, figures, target, met(ok));
}

std::uint64_t allocations_of(const std::function<void()> &command) {
    const std::uint64_t before = allocations();
    command();
    return allocations() - before;
}

void run_command(int (*command)(), int event) {
    events.clear();
    if (command() != 0) throw std::runtime_error("command refused");
    if (events.wait_for(event) != 0) throw std::runtime_error("command failed");
    if (!wait_idle()) throw std::runtime_error("command never ended");
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::shared_ptr<RecordingDevice> attach_device() {
    auto model = std::make_shared<sim::DeviceModel>(bench_device_config());
    model->set_log_limit(0);
    auto device = std::make_shared<RecordingDevice>(model);
    usb::detach_all_in_process_devices();
    usb::attach_in_process_device("drova00", device);
    return device;
}

// One in-process download of `mib` MiB, alone, for a profiler
// (valgrind --tool=callgrind --toggle-collect=_Download), then the same
// download and its bare replay timed as benchmark 1 times them.
int profile(std::size_t mib) {
    const auto device = attach_device();
    start_session();
    connect_and_read_sectors();
    const std::uint64_t before = allocations();
    const Recorded data = record(*device, make_blocks(1, mib * kMiB, 0));
    const std::uint64_t allocated = allocations() - before;
    const Comparison runs = compare(
        kRounds, JudgedBy::cpu, [&] { return download(kStagingArea, data.blocks).ended; },
        [&] { return device->replay(data.frames); });
    close_session();
    std::printf("%llu allocations in the first download\n", static_cast<unsigned long long>(allocated));
    judge_download(format("1 in-process: %zu MiB, 1 block", mib).c_str(), data, runs, 1.3, true);
    return 0;
}

// One thread's CPU time (clock ticks) and wake-ups (voluntary context switches).
struct ThreadUsage {
    unsigned long long ticks = 0;
    unsigned long long wakeups = 0;
};

// Every thread of the process by its id, from /proc/self/task/*/stat and status.
std::map<int, ThreadUsage> thread_usage() {
    std::map<int, ThreadUsage> threads;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        ThreadUsage usage;
        std::ifstream stat(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto fields_at = text.rfind(')');
        if (fields_at == std::string::npos) continue;
        std::istringstream fields(text.substr(fields_at + 1));
        std::string field;
        // Fields 3 to 13, then utime and stime.
        for (int i = 3; i <= 13; ++i) fields >> field;
        unsigned long long user = 0, system = 0;
        fields >> user >> system;
        usage.ticks = user + system;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("voluntary_ctxt_switches:")) usage.wakeups = std::stoull(line.substr(24));
        threads[std::stoi(task.path().filename().string())] = usage;
    }
    return threads;
}

// Per thread that ran during the window: its CPU time and wake-ups per second.
// Threads are named by the order they were started in: the library's command
// timer, its event delivery, then its link's reader.
std::string describe_idle_threads(const std::map<int, ThreadUsage> &before, const std::map<int, ThreadUsage> &after,
                                  double seconds) {
    const double tick_ms = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const char *names[] = {"bench", "timer", "delivery", "link"};
    std::string text;
    std::size_t index = 0;
    for (const auto &[id, usage] : after) {
        const auto earlier = before.find(id);
        const ThreadUsage start = earlier == before.end() ? ThreadUsage{} : earlier->second;
        const char *name = index < std::size(names) ? names[index] : "other";
        ++index;
        text += format("%s%s %.0f ms, %.1f wake-ups/s", text.empty() ? "" : "; ", name,
                       static_cast<double>(usage.ticks - start.ticks) * tick_ms,
                       static_cast<double>(usage.wakeups - start.wakeups) / seconds);
    }
    return text;
}

// The library's download against a bare client replaying its frames, over
// the socket to the daemon. The session stays connected: the device keeps
// that state while the bare client, a connection of its own, replays.
Comparison compare_on_socket(const DrovaSimProcess &daemon, int rounds, const Blocks &blocks, const Recorded &data) {
    return compare(
        rounds, JudgedBy::wall, [&] { return download(kStagingArea, blocks).ended; },
        [&] {
            BareSocket bare(daemon.endpoint());
            return bare.replay(data.frames, data.answers);
        });
}

// Benchmark 5: an initialised, connected session left alone.
void measure_idle() {
    constexpr double kIdleSeconds = 10.0;
    const auto threads_before = thread_usage();
    const double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
    const double share = (cpu_seconds() - before) / kIdleSeconds * 100.0;
    const std::string threads = describe_idle_threads(threads_before, thread_usage(), kIdleSeconds);
    add("5 idle session, 10 s", format("%.4f %% of one core; %s", share, threads.c_str()), "<= 0.1 %",
        met(share <= 0.1));
}

// Runs `body` with a connected session on drova-sim in another process,
// the in-process devices detached.
void with_daemon(const std::function<void(const DrovaSimProcess &)> &body) {
    usb::detach_all_in_process_devices();
    usb::select_in_process_backend(false);
    const std::string dir = "/tmp/velkor-bench-" + std::to_string(getpid());
    setenv("VELKOR_USB_DIR", dir.c_str(), 1);
    {
        DrovaSimProcess daemon(dir);
        start_session();
        connect_and_read_sectors();
        body(daemon);
        close_session();
    }
    std::filesystem::remove_all(dir);
}

// Benchmark 2 alone for one block of `mib` MiB: the frames are recorded
// in-process first, as the full run does.
int socket_only(std::size_t mib) {
    const auto device = attach_device();
    start_session();
    connect_and_read_sectors();
    const Recorded data = record(*device, make_blocks(1, mib * kMiB, 0));
    close_session();
    with_daemon([&](const DrovaSimProcess &daemon) {
        judge_download(format("2 socket: %zu MiB, 1 block", mib).c_str(), data,
                       compare_on_socket(daemon, kRounds, data.blocks, data), 1.1, false);
    });
    return 0;
}

// Benchmark 6: `records` records of 64 B, or as many merged into one.
void pacing_row(std::size_t records, bool merged) {
    const auto times = download(kStagingArea, merged ? make_blocks(1, 64 * records, 0) : make_blocks(records, 64, 0));
    const std::string name = merged ? format("6 pacing: the %zu merged into 1", records)
                                    : format("6 pacing: %zu records of 64 B", records);
    add(name,
        format("%.1f records/s (%.3f s to the outcome)", static_cast<double>(records) / times.delivered.count(),
               times.delivered.count()),
        merged ? "bound removed" : "report", "-");
}

// Benchmark 6 alone: one download of `records` records of 64 B.
int pacing_only(std::size_t records) {
    const auto device = attach_device();
    start_session();
    connect_and_read_sectors();
    pacing_row(records, false);
    close_session();
    return 0;
}

int idle() {
    const auto device = attach_device();
    start_session();
    connect_and_read_sectors();
    measure_idle();
    close_session();
    return 0;
}

int run() {
    const auto device = attach_device();

    const Blocks one_block = make_blocks(1, 16 * kMiB, 0);
    const Blocks small_blocks = make_blocks(4096, 4096, 0);

    // Recording the frames and the stack-depth runs are not timed: a fast
    // session clock keeps the event pacing of many records short.
    std::printf("recording frames, stack depth (fast session clock)\n");
    set_clock(std::make_shared<ScaledClock>(100.0, 1000));
    start_session();
    connect_and_read_sectors();
    const Recorded big = record(*device, one_block);
    const Recorded many = record(*device, small_blocks);

    on_small_stack([&] { download(kStagingArea, one_block); });
    add("4 stack: 16 MiB, 1 block", "completed on a 256 KiB stack", "completes", met(true));
    const Blocks ten_thousand = make_blocks(10000, 64, 0);
    on_small_stack([&] { download(kStagingArea, ten_thousand); });
    add("4 stack: 10,000 blocks of 64 B", "completed on a 256 KiB stack", "completes", met(true));
    close_session();
    set_clock(nullptr);

    std::printf("in-process device (real clock)\n");
    start_session();
    connect_and_read_sectors();
    judge_download("1 in-process: 16 MiB, 1 block", big,
                   compare(
                       kRounds, JudgedBy::cpu, [&] { return download(kStagingArea, one_block).ended; },
                       [&] { return device->replay(big.frames); }),
                   1.3, true);
    // Bound by event pacing (two minutes a run): one round.
    judge_download("1 in-process: 4,096 x 4 KiB", many,
                   compare(
                       1, JudgedBy::wall, [&] { return download(kStagingArea, small_blocks).ended; },
                       [&] { return device->replay(many.frames); }),
                   1.3, true);

    {
        const Blocks one_chunk = make_blocks(1, 400, 0);
        const std::uint64_t small = allocations_of([&] { download(kStagingArea, one_chunk); });
        const std::uint64_t large = allocations_of([&] { download(kStagingArea, one_block); });
        const double per_chunk = static_cast<double>(large - small) /
                                 static_cast<double>(one_block.chunks() - one_chunk.chunks());
        add("3 allocations per data chunk",
            format("%.4f (16 MiB download: %llu, 1-chunk download: %llu)", per_chunk,
                   static_cast<unsigned long long>(large), static_cast<unsigned long long>(small)),
            "0 per chunk", met(large == small));
    }
    {
        const auto read_info = allocations_of([] { run_command(_ReadInfo, VELKOR_EV_READINFO); });
        const auto flash_info = allocations_of([] { run_command(_FlashInfo, VELKOR_EV_FLASHINFO); });
        const auto erase = allocations_of([] {
            events.clear();
            if (_Erase(0) != 0 || events.wait_for(VELKOR_EV_ERASE) != 0 || !wait_idle())
                throw std::runtime_error("erase failed");
        });
        add("3 allocations per command",
            format("_ReadInfo %llu, _FlashInfo %llu, _Erase %llu", static_cast<unsigned long long>(read_info),
                   static_cast<unsigned long long>(flash_info), static_cast<unsigned long long>(erase)),
            "report", "-");
    }

    measure_idle();

    for (const std::size_t records : {std::size_t{1}, std::size_t{10}, std::size_t{1000}}) pacing_row(records, false);
    pacing_row(1000, true);
    close_session();

    std::printf("socket transport, drova-sim in another process (real clock)\n");
    with_daemon([&](const DrovaSimProcess &daemon) {
        judge_download("2 socket: 16 MiB, 1 block", big, compare_on_socket(daemon, kRounds, one_block, big), 1.1,
                       false);
        judge_download("2 socket: 4,096 x 4 KiB", many, compare_on_socket(daemon, 1, small_blocks, many), 1.1,
                       false);
    });

    std::printf("\n| Benchmark | Figures | Judged by | Result |\n|---|---|---|---|\n");
    for (const auto &row : table)
        std::printf("| %s | %s | %s | %s |\n", row.benchmark.c_str(), row.figures.c_str(), row.judged_by.c_str(),
                    row.verdict.c_str());
    return 0;
}

}  // namespace
}  // namespace velkor::bench

int main(int argc, char **argv) {
    try {
        if (argc == 3 && std::string(argv[1]) == "--profile")
            return velkor::bench::profile(static_cast<std::size_t>(std::stoul(argv[2])));
        if (argc == 2 && std::string(argv[1]) == "--idle") return velkor::bench::idle();
        if (argc == 3 && std::string(argv[1]) == "--socket")
            return velkor::bench::socket_only(static_cast<std::size_t>(std::stoul(argv[2])));
        if (argc == 3 && std::string(argv[1]) == "--pacing")
            return velkor::bench::pacing_only(static_cast<std::size_t>(std::stoul(argv[2])));
        if (argc != 1) {
            std::fprintf(stderr, "usage: velkor_bench [--profile MiB | --socket MiB | --pacing records | --idle]\n");
            return 2;
        }
        return velkor::bench::run();
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "benchmark failed: %s\n", failure.what());
        return 1;
    }
}
