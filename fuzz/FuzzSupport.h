#pragma once
// What every fuzz target shares. Each process makes one private directory under $TMPDIR and
// removes it at exit; the log file lives there and is cut back whenever it grows large, and
// an input's files are removed once the input is done, so a run of millions of inputs leaves
// nothing behind and fills no disk.
//
// A target's LLVMFuzzerTestOneInput opens one Input first thing; a failed property check
// calls Fail, which aborts so that libFuzzer keeps the input as a finding.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace Kedra::Measure {
class MeasurementCore;
}

namespace Kedra::Fuzz {

// Made on first use. A harness that cannot have it aborts rather than write elsewhere.
const std::filesystem::path& PrivateDirectory();

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size);
    // Removes every file of the private directory except the log.
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    std::span<const unsigned char> Bytes() const { return {data_, size_}; }
    std::string_view Text() const { return {reinterpret_cast<const char*>(data_), size_}; }
    // The bytes as a file of that name in the private directory.
    std::string WriteFile(const std::string& name) const;

private:
    const unsigned char* data_;
    std::size_t size_;
};

// What a refused read must leave as it was: settings, label and every data sample.
std::string Fingerprint(Kedra::Measure::MeasurementCore& record);

// Prints what broke and aborts.
[[noreturn]] void Fail(const std::string& what);

} // namespace Kedra::Fuzz
