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
#include <functional>
#include <string>
#include <thread>

#include "allocation_counter.h"
#include "harness.h"
#include "session/clock.h"
#include "usb/in_process_device.h"

namespace velkor::bench {
namespace {

constexpr std::size_t kMiB = 1 << 20;

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
    char text[256];
    std::snprintf(text, sizeof(text), pattern, values...);
    return text;
}

const char *met(bool ok) { return ok ? "MET" : "MISSED"; }

template <typename F>
Seconds best_of(int runs, F run) {
    Seconds best = Seconds::max();
    for (int i = 0; i < runs; ++i) best = std::min(best, Seconds(run()));
    return best;
}

// Frames of one download, recorded on the in-process device.
struct Recorded {
    Blocks blocks;
    std::vector<Frame> frames;
};

Recorded record(RecordingDevice &device, Blocks blocks) {
    device.frames.clear();
    device.recording = true;
    download(kStagingArea, blocks);
    device.recording = false;
    return {std::move(blocks), std::move(device.frames)};
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

void judge_download(const char *name, const Recorded &data, Seconds library, Seconds bare, double ratio_target,
                    bool per_chunk_target) {
    const double mb_per_s = static_cast<double>(data.blocks.bytes()) / 1e6 / library.count();
    const std::size_t chunks = data.blocks.chunks();
    const double per_chunk_us = (library - bare).count() * 1e6 / static_cast<double>(chunks);
    const double ratio = library / bare;
    bool ok = ratio <= ratio_target;
    std::string target = format("ratio <= %.1f", ratio_target);
    if (per_chunk_target) {
        ok = ok && per_chunk_us < 2.0;
        target += ", < 2 us/chunk";
    }
    add(name,
        format("%.1f MB/s, %.3f s vs bare %.3f s (%zu frames), library %.2f us/chunk, ratio %.2f", mb_per_s,
               library.count(), bare.count(), data.frames.size(), per_chunk_us, ratio),
        target, met(ok));
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

int run() {
    auto model = std::make_shared<sim::DeviceModel>(bench_device_config());
    model->set_log_limit(0);
    auto device = std::make_shared<RecordingDevice>(model);
    usb::detach_all_in_process_devices();
    usb::attach_in_process_device("drova00", device);

    const Blocks one_block = make_blocks(1, 16 * kMiB, 0);
    const Blocks small_blocks = make_blocks(4096, 4096, 0);

    // Recording the frames and the stack-depth runs are not timed: a fast
    // session clock keeps the event pacing of many records short.
    std::printf("recording frames, stack depth (fast session clock)\n");
    set_clock(std::make_shared<ScaledClock>(100.0, 1000));
    device->recording = true;
    start_session();
    connect_and_read_sectors();
    device->recording = false;
    const Frame connect_frame = device->frames.front();
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
    {
        const Seconds library = best_of(3, [&] { return download(kStagingArea, one_block).ended; });
        const Seconds bare = best_of(3, [&] { return device->replay(big.frames); });
        judge_download("1 in-process: 16 MiB, 1 block", big, library, bare, 1.3, true);
    }
    {
        const Seconds library = download(kStagingArea, small_blocks).ended;
        const Seconds bare = best_of(3, [&] { return device->replay(many.frames); });
        judge_download("1 in-process: 4,096 x 4 KiB", many, library, bare, 1.3, true);
    }

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

    {
        constexpr double kIdleSeconds = 10.0;
        const double before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
        const double share = (cpu_seconds() - before) / kIdleSeconds * 100.0;
        add("5 idle session, 10 s", format("%.4f %% of one core", share), "<= 0.1 %", met(share <= 0.1));
    }

    for (const std::size_t records : {std::size_t{1}, std::size_t{10}, std::size_t{1000}}) {
        const auto times = download(kStagingArea, make_blocks(records, 64, 0));
        add(format("6 pacing: %zu records of 64 B", records),
            format("%.1f records/s (%.3f s to the outcome)", static_cast<double>(records) / times.delivered.count(),
                   times.delivered.count()),
            "report", "-");
    }
    {
        const auto times = download(kStagingArea, make_blocks(1, 64 * 1000, 0));
        add("6 pacing: the 1000 merged into 1",
            format("%.1f records/s (%.3f s to the outcome)", 1000.0 / times.delivered.count(),
                   times.delivered.count()),
            "bound removed", "-");
    }
    close_session();

    std::printf("socket transport, drova-sim in another process (real clock)\n");
    usb::detach_all_in_process_devices();
    usb::select_in_process_backend(false);
    const std::string dir = "/tmp/velkor-bench-" + std::to_string(getpid());
    setenv("VELKOR_USB_DIR", dir.c_str(), 1);
    {
        DrovaSimProcess daemon(dir);
        start_session();
        connect_and_read_sectors();
        const Seconds library_big = best_of(3, [&] { return download(kStagingArea, one_block).ended; });
        const Seconds library_many = download(kStagingArea, small_blocks).ended;
        close_session();

        BareSocket bare(daemon.endpoint());
        bare.replay({connect_frame});
        const Seconds bare_big = best_of(3, [&] { return bare.replay(big.frames); });
        const Seconds bare_many = best_of(3, [&] { return bare.replay(many.frames); });
        judge_download("2 socket: 16 MiB, 1 block", big, library_big, bare_big, 1.1, false);
        judge_download("2 socket: 4,096 x 4 KiB", many, library_many, bare_many, 1.1, false);
    }
    std::filesystem::remove_all(dir);

    std::printf("\n| Benchmark | Figures | Judged by | Result |\n|---|---|---|---|\n");
    for (const auto &row : table)
        std::printf("| %s | %s | %s | %s |\n", row.benchmark.c_str(), row.figures.c_str(), row.judged_by.c_str(),
                    row.verdict.c_str());
    return 0;
}

}  // namespace
}  // namespace velkor::bench

int main() {
    try {
        return velkor::bench::run();
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "benchmark failed: %s\n", failure.what());
        return 1;
    }
}
