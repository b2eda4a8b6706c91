// Response text files (frequency, dB, phase per line). A refused file leaves the measurement
// as it was.

#include <string>

#include "FuzzSupport.h"
#include "exchange/MeasurementImporter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Kedra::Fuzz::Input input(data, size);
    Kedra::Measure::Measurement m("previous");
    m.InitializeDirac(12, 48000, 0.5);
    const std::string before = Kedra::Fuzz::Fingerprint(m);
    Kedra::Measure::MeasurementImporter importer;
    // Short records keep the runs fast; the points' reading does not depend on the length.
    importer.length = 2048;
    importer.samplerate = 48000.0;
    importer.importPhase = true;
    importer.phaseUnit = static_cast<std::int32_t>(size & 1);
    if (!importer.ImportText(m, input.Text(), "<fuzz>") && Kedra::Fuzz::Fingerprint(m) != before)
        Kedra::Fuzz::Fail("a refused import changed the measurement");
    return 0;
}
