// The data file of a measurement, decoded as FLAC and as wave through the info of a valid
// record of DATA_SAMPLES samples: whatever the bytes are, each decoder either refuses them
// or hands back exactly that many samples. (A float wave may carry NaN; that is not checked.)

#include <string>

#include "FuzzSupport.h"
#include "measure/MeasurementFile.h"

namespace {

constexpr int DATA_SAMPLES = 4096;

std::string Info(const char* format) {
    return "Data_Amplitude\t= 0.5\nData_FileFormat\t= " + std::string(format) +
           "\nData_L\t= " + std::to_string(DATA_SAMPLES) +
           "\nData_Offset\t= 2048\nData_Samplerate\t= 48000\nFile_Version\t= 104\n";
}

void Decode(const std::string& info, const Kedra::Fuzz::Input& input) {
    namespace File = Kedra::Measure::MeasurementFile;
    File::Loaded loaded;
    std::string error;
    if (!File::LoadFromMemory(info, input.Bytes(), loaded, error))
        return;
    if (loaded.length != DATA_SAMPLES || loaded.samples.size() != DATA_SAMPLES)
        Kedra::Fuzz::Fail("decoded " + std::to_string(loaded.samples.size()) + " samples");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string flac = Info("flac");
    static const std::string wav = Info("wav");
    const Kedra::Fuzz::Input input(data, size);
    Decode(flac, input);
    Decode(wav, input);
    return 0;
}
