// Impulses from text (one sample per line) or from a wave file, told apart by content as the
// command line's import does. A refused file leaves the measurement as it was.

#include <string>

#include "FuzzSupport.h"
#include "exchange/ImpulseImporter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Kedra::Fuzz::Input input(data, size);
    Kedra::Measure::Measurement m("previous");
    m.InitializeDirac(12, 48000, 0.5);
    const std::string before = Kedra::Fuzz::Fingerprint(m);
    Kedra::Measure::ImpulseImporter importer;
    importer.samplerate = 48000;
    const std::string_view text = input.Text();
    const bool wave =
        text.size() >= 12 && text.substr(0, 4) == "RIFF" && text.substr(8, 4) == "WAVE";
    const bool ok = wave ? importer.ImportWaveMemory(m, input.Bytes())
                         : importer.ImportTextMemory(m, text, "<fuzz>");
    if (!ok && Kedra::Fuzz::Fingerprint(m) != before)
        Kedra::Fuzz::Fail("a refused import changed the measurement");
    return 0;
}
