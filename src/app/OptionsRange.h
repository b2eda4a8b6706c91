#pragma once
// The valid ranges of the numeric options that have a physical or index range: what the
// options dialog lets the user choose, so that the command line and the Python module cannot
// set what the window would refuse. Loading an options file does not consult them.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Kedra::Sonvel::Conf {

struct OptionRange {
    std::string_view path; // "Section.Field"
    double lo = 0.0;
    double hi = 0.0; // both ends allowed
};

std::span<const OptionRange> OptionRanges();
// The range of the field at `path`; null for a field without one.
const OptionRange* FindOptionRange(std::string_view path);
// "Dev.OutputPCMAmplitude must lie between 0.001 and 1, not 5" when `value` reads as a
// finite number outside the field's range; empty when it lies inside, the field has no range
// or the text is no number (the setter refuses that in its own words).
std::optional<std::string> OutOfRange(std::string_view path, std::string_view value);

} // namespace Kedra::Sonvel::Conf
