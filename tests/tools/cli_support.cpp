#include "cli_support.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include "cli.h"
#include "simulator.h"

namespace drova::test {

Result drova(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    const int status = run(arguments, out, err);
    return {status, out.str(), err.str()};
}

std::filesystem::path write_file(const std::string &name, const std::string &content) {
    const auto path = std::filesystem::temp_directory_path() / ("drova-test-" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

namespace {

std::string hex_record(std::uint8_t type, std::uint16_t offset, const std::uint8_t *bytes, std::size_t size) {
    std::string text;
    char digits[8];
    unsigned sum = static_cast<unsigned>(size) + (offset >> 8) + (offset & 0xFF) + type;
    std::snprintf(digits, sizeof digits, ":%02X", static_cast<unsigned>(size));
    text += digits;
    std::snprintf(digits, sizeof digits, "%04X%02X", offset, type);
    text += digits;
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
        sum += bytes[i];
    }
    std::snprintf(digits, sizeof digits, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return text + digits;
}

}  // namespace

std::string intel_hex(const std::vector<std::uint8_t> &data, std::uint32_t address) {
    const std::uint8_t upper[2] = {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16)};
    std::string text = hex_record(4, 0, upper, 2);
    for (std::size_t at = 0; at < data.size(); at += 32)
        text += hex_record(0, static_cast<std::uint16_t>((address & 0xFFFF) + at), data.data() + at,
                           std::min<std::size_t>(32, data.size() - at));
    return text + hex_record(1, 0, nullptr, 0);
}

std::string gapped_intel_hex(std::size_t count, std::size_t size, std::size_t gap) {
    std::string text;
    std::uint32_t upper = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::vector<std::uint8_t> data(size, static_cast<std::uint8_t>(k));
        const auto address = static_cast<std::uint32_t>(k * (size + gap));
        if (address >> 16 != upper) {
            upper = address >> 16;
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
            text += hex_record(4, 0, bytes, 2);
        }
        text += hex_record(0, static_cast<std::uint16_t>(address), data.data(), size);
    }
    return text + hex_record(1, 0, nullptr, 0);
}

struct SeparateDevices::Impl {
    std::mutex mutex;
    std::vector<std::string> frames;
    std::optional<Simulator> simulator;  // last: it stops before what it logs into goes
};

SeparateDevices::SeparateDevices(const std::string &config, bool log_frames) : impl_(std::make_unique<Impl>()) {
    Simulator::Options options;
    options.program = DROVA_TEST_SIM;
    options.config = write_file("separate.json", config).string();
    options.verbosity = log_frames ? 2 : 0;
    options.log = [impl = impl_.get()](const std::string &line) {
        const auto frame = line.find("host> ");
        if (frame == std::string::npos) return;
        std::lock_guard lock(impl->mutex);
        impl->frames.push_back(line.substr(frame));
    };
    impl_->simulator.emplace(options);
}

SeparateDevices::~SeparateDevices() = default;

Result SeparateDevices::operator()(std::vector<std::string> arguments) const {
    // drova-sim answers a search at once: a short one keeps the tests quick.
    arguments.insert(arguments.begin(), {"--library", DROVA_TEST_LIBRARY, "--search-ms", "20"});
    return drova(arguments);
}

std::vector<std::string> SeparateDevices::frames() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->frames;
}

void SeparateDevices::clear_frames() {
    std::lock_guard lock(impl_->mutex);
    impl_->frames.clear();
}

}  // namespace drova::test
