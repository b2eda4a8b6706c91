// The info file of a measurement, read as opening one reads it: parsed, checked, its data
// decoded (a stand-in data file long enough for any record this target applies) and applied
// to a record, whose views are then computed.

#include <cmath>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "exchange/TextFile.h"
#include "exchange/WaveFile.h"
#include "measure/FlacData.h"
#include "measure/MeasurementCore.h"
#include "measure/MeasurementFile.h"

namespace {

namespace File = Kedra::Measure::MeasurementFile;

// Records declaring more samples are only checked: their data and views would cost time, and
// the data file's own limits are the data target's work.
constexpr int STAND_IN_SAMPLES = 1 << 15;
constexpr int EXPONENT = 13;

struct StandIn {
    std::vector<unsigned char> flac;
    std::vector<unsigned char> wav;

    StandIn() {
        std::vector<double> x(STAND_IN_SAMPLES);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] =
                std::exp(-0.01 * static_cast<double>(i)) * std::cos(0.3 * static_cast<double>(i));
        double scale = 0.0;
        std::string error;
        if (!Kedra::Measure::Flac::Encode24(x.data(), STAND_IN_SAMPLES, 48000, scale, flac,
                                            error) ||
            !Kedra::WaveImExport::ArrayToWaveMemory(x.data(), STAND_IN_SAMPLES, 48000, scale, wav))
            Kedra::Fuzz::Fail("no stand-in data: " + error);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const StandIn standIn;
    const Kedra::Fuzz::Input input(data, size);
    const File::KeyMap keys = File::ParseInfo(input.Text());
    std::string format;
    std::string error;
    if (!File::CheckInfo(keys, format, error))
        return 0;
    if (format != "flac" && format != "wav")
        Kedra::Fuzz::Fail("checked info names data format '" + format + "'");
    if (Kedra::Text::ParseNumber(keys.at("Data_L")) > STAND_IN_SAMPLES)
        return 0;

    File::Loaded loaded;
    if (!File::LoadFromMemory(input.Text(), format == "flac" ? standIn.flac : standIn.wav, loaded,
                              error))
        return 0;
    Kedra::Measure::MeasurementCore record;
    File::Apply(loaded, record, EXPONENT);
    record.GetF();
    record.GetA();
    File::ParseInfo(File::GetInfo(record));
    return 0;
}
