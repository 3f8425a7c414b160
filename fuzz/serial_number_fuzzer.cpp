// Serial numbers both ways: a value to its text form (into buffers of any
// size) and a typed text back to the value. A value with a text form must
// come back from it unchanged, and a text that parses must be the library's
// own text of that value.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Vevara_Rovo_dar.h"
#include "commands/serial_number.h"
#include "model/wire_values.h"
#include "driven_session.h"
#include "fuzz_input.h"
#include "serial_argument.h"

namespace velkor::fuzzing {
namespace {

// The fields as the text form reads them, checked one by one.
bool has_text_form(std::uint32_t value) {
    const std::uint32_t marker = value >> 22;
    const std::uint32_t month = value >> 16 & 0xF;
    return value < 0x1000000 && marker == 2 && !(month >= 1 && month <= 12) && (value & 0xFFFF) != 0;
}

std::string convert(std::uint32_t value, int max, int &result) {
    // Exactly `max` bytes, so a write past them shows.
    std::vector<char> text(static_cast<std::size_t>(max > 0 ? max : 1), '\x7f');
    result = _SnConvertUint2Agt(value, text.data(), max);
    if (max < 1) {
        if (text[0] != '\x7f') fail("a buffer of no size was written to");
        return {};
    }
    if (std::memchr(text.data(), '\0', text.size()) == nullptr) fail("the text was not ended within the buffer");
    return text.data();
}

void check_value(std::uint32_t value, int max) {
    int result = 0;
    const std::string full = convert(value, 64, result);
    if ((result == 0) != has_text_form(value)) fail("a value's text form was given or refused wrongly");
    if (result != 0 && full != "SN_INVALID") fail("a value without text form did not read SN_INVALID");
    if (result == 0) {
        if (full.size() != 10) fail("a serial number text is not ten characters long");
        const auto back = drova::parse_serial_text(full);
        if (!back || *back != value) fail("a serial number did not come back from its text");
    }
    int cut_result = 0;
    const std::string cut = convert(value, max, cut_result);
    if (cut_result != result) fail("the result depends on the buffer size");
    if (max >= 1 && cut != full.substr(0, static_cast<std::size_t>(max - 1))) fail("a short buffer got other text");

    // The word on the wire: checksum byte, then the serial number, which
    // with its checksum sums to zero.
    const std::uint32_t word = serial_number_word(value);
    if ((word & 0xFFFFFF) != (value & 0xFFFFFF)) fail("the wire word lost serial number bits");
    const std::uint8_t bytes[5] = {0, static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 8),
                                   static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 24)};
    if (ones_complement_checksum(bytes) != 0) fail("the wire word's checksum does not match its serial number");
}

void check_text(const std::string &text) {
    const auto value = drova::parse_serial_text(text);
    if (!value) return;
    int result = 0;
    const std::string printed = convert(*value, 64, result);
    if (result != 0) fail("a text that parses names a value without text form");
    std::string upper = text;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (printed != upper) fail("a parsed text is not the text of its value");
}

}  // namespace
}  // namespace velkor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace velkor::fuzzing;
    FuzzInput in(data, size);
    const std::uint8_t shape = in.byte();
    std::uint32_t value = in.u32();
    // Most values of 32 bits have no text form: often keep the marker right.
    if (shape & 1) value = (value & 0x3FFFFF) | 0x800000;
    const int max = shape & 2 ? static_cast<int>(in.byte() % 16) - 1 : static_cast<int>(in.u16() % 300) - 1;
    check_value(value, max);
    const auto rest = in.bytes(in.remaining());
    check_text(std::string(rest.begin(), rest.end()));
    return 0;
}
