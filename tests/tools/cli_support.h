// Running drova's command line in the test process, and the files it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace drova::test {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result drova(std::vector<std::string> arguments);

// A file in the temporary directory named drova-test-<name>.
std::filesystem::path write_file(const std::string &name, const std::string &content);

// Intel HEX with 32-byte records, placed at `address` through an extended
// linear address record.
std::string intel_hex(const std::vector<std::uint8_t> &data, std::uint32_t address);
// Intel HEX of `count` blocks of `size` bytes (each filled with its number),
// `gap` bytes apart, from address 0: an image of many small blocks. Blocks
// past 64 KiB get extended linear address records.
std::string gapped_intel_hex(std::size_t count, std::size_t size, std::size_t gap);

// drova-sim in a process of its own, as the tool suite's other tests start it:
// to drova these are real devices (no --sim), so changes need --yes.
class SeparateDevices {
public:
    // `config` is drova-sim's JSON; with `log_frames` every frame is logged.
    explicit SeparateDevices(const std::string &config, bool log_frames = false);
    ~SeparateDevices();
    SeparateDevices(const SeparateDevices &) = delete;
    SeparateDevices &operator=(const SeparateDevices &) = delete;

    // drova with the built library, a short search and `arguments`.
    Result operator()(std::vector<std::string> arguments) const;
    // The frames logged so far ("host> EC address n=6", ...), and forgetting them.
    std::vector<std::string> frames() const;
    void clear_frames();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace drova::test
