// Calibration files (microphone and sound card share the reader). A file that is refused
// leaves the table loaded before; one that is accepted is saved and must reopen from that
// save with the same points, since the program keeps and uses the saved copy.

#include <string>

#include "FuzzSupport.h"
#include "exchange/Calibrator.h"

namespace {

constexpr const char* PREVIOUS = "#Comment previous\n20 -1.5 10\n1000 0 0\n20000 -3 -45\n";
constexpr double PROBES[] = {0.0, 19.0, 20.0, 440.5, 1000.0, 20000.0, 1e9};

std::string Corrections(const Kedra::Measure::Calibrator& cal) {
    std::string s = std::to_string(cal.GetCount());
    for (double f : PROBES) {
        const std::complex<double> c = cal.GetCorrection(f);
        s += " " + std::to_string(c.real()) + "," + std::to_string(c.imag());
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Kedra::Fuzz::Input input(data, size);
    Kedra::Measure::Calibrator cal;
    // The unit of the phase column is the user's choice; let the input's size choose it.
    cal.phaseUnit = static_cast<std::int32_t>(size & 1);
    if (!cal.OpenText(PREVIOUS, "<previous>"))
        Kedra::Fuzz::Fail("the previous table does not load");
    cal.SetActive(true);
    const std::string before = Corrections(cal);
    if (!cal.OpenText(input.Text(), "<fuzz>")) {
        if (Corrections(cal) != before || !cal.IsActive())
            Kedra::Fuzz::Fail("a refused file changed the loaded table");
        return 0;
    }
    Kedra::Measure::Calibrator copy;
    copy.phaseUnit = cal.phaseUnit;
    const std::string saved = cal.SaveText();
    if (!copy.OpenText(saved, "<saved>") || copy.GetCount() != cal.GetCount())
        Kedra::Fuzz::Fail("the saved calibration does not reopen:\n" + saved);
    return 0;
}
