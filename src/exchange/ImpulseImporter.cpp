#include "exchange/ImpulseImporter.h"

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <ios>
#include <vector>

#include "analyze/SequenceAnalysis.h"
#include "exchange/TextFile.h"
#include "foundation/Fft.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "foundation/Mem.h"

namespace Kedra::Measure {

namespace {

constexpr int MIN_EXPONENT = 10;

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text + "\n");
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// An editor's byte-order mark would hide the first line's number.
std::string_view WithoutBom(std::string_view line, bool firstLine) {
    if (firstLine && line.substr(0, 3) == "\xEF\xBB\xBF")
        line.remove_prefix(3);
    return line;
}

} // namespace

int ImpulseImporter::TransformLength(int n) {
    int e = MIN_EXPONENT;
    if (n > (1 << MIN_EXPONENT)) {
        e = MIN_EXPONENT + 1;
        while ((1 << e) < n)
            ++e;
    }
    return 1 << (e + 1);
}

bool ImpulseImporter::ImportText(Measurement& measurement, const std::string& path) {
    Log("INFO    ImpulseImporter::ImportText(" + path + ")");
    const std::string who = "ImpulseImporter::ImportText(" + path + ")";
    samplesRead_ = 0;
    truncated_ = false;
    return Kedra::Text::ReadRegularFile(path, who, "nothing imported", [&](std::streambuf& in) {
        return ReadText(measurement, in, who);
    });
}

bool ImpulseImporter::ImportTextMemory(Measurement& measurement, std::string_view text,
                                       const std::string& source) {
    Log("INFO    ImpulseImporter::ImportText(" + source + ")");
    samplesRead_ = 0;
    truncated_ = false;
    Kedra::Text::MemoryStreamBuf buffer(text);
    return ReadText(measurement, buffer, "ImpulseImporter::ImportText(" + source + ")");
}

bool ImpulseImporter::ReadText(Measurement& measurement, std::streambuf& in,
                               const std::string& who) {
    if (samplerate <= 0) {
        Log("WARNING " + who + " : sample rate " + std::to_string(samplerate) +
            " -> nothing imported");
        return false;
    }
    Kedra::Text::LineReader reader(in);
    std::string line;
    std::vector<double> samples;
    bool truncated = false;
    while (reader.Next(line)) {
        std::string_view view = WithoutBom(line, reader.LineNumber() == 1);
        view = view.substr(0, view.find('\0'));
        const std::size_t start = view.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            continue;
        view.remove_prefix(start);
        // A sample starts with a digit, or is negative; "+1" or ".5" do not count.
        const bool sample =
            IsDigit(view[0]) || (view[0] == '-' && view.size() > 1 && IsDigit(view[1]));
        if (!sample)
            continue;
        if (samples.size() == static_cast<std::size_t>(MAX_SAMPLES)) {
            truncated = true;
            break;
        }
        std::string number(view);
        for (char& c : number)
            if (c == ',')
                c = '.';
        const double x = Kedra::Text::ParseNumber(number);
        if (!std::isfinite(x)) {
            Log("WARNING " + who + " : line " + std::to_string(reader.LineNumber()) +
                " holds a number that is not finite -> nothing imported");
            return false;
        }
        samples.push_back(x);
    }
    if (reader.WasCut()) {
        // The reader stops at such a line; the samples after it would be lost unseen.
        Log("WARNING " + who + " : line " + std::to_string(reader.LineNumber()) +
            " is longer than " + std::to_string(Kedra::Text::LineReader::MAX_LINE) +
            " characters -> nothing imported");
        return false;
    }
    if (samples.empty()) {
        Log("WARNING " + who + " : no sample lines -> nothing imported");
        return false;
    }
    if (truncated)
        Log("WARNING " + who + " : more than " + std::to_string(MAX_SAMPLES) +
            " samples -> only the first " + std::to_string(MAX_SAMPLES) + " imported");
    if (!Build(measurement, samples.data(), static_cast<int>(samples.size()), samplerate, who))
        return false;
    truncated_ = truncated;
    return true;
}

bool ImpulseImporter::ImportWave(Measurement& measurement, const std::string& path) {
    Log("INFO    ImpulseImporter::ImportWave(" + path + ")");
    samplesRead_ = 0;
    truncated_ = false;
    Kedra::WaveImExport::WaveInfo info;
    float* samples = nullptr;
    waveError_.clear();
    const int frames = Kedra::WaveImExport::ArrayWaveImport(path, info, samples, &waveError_);
    return ReadWave(measurement, frames, info, samples,
                    "ImpulseImporter::ImportWave(" + path + ")");
}

bool ImpulseImporter::ImportWaveMemory(Measurement& measurement,
                                       Kedra::WaveImExport::ByteSpan bytes) {
    Log("INFO    ImpulseImporter::ImportWave(<memory>)");
    samplesRead_ = 0;
    truncated_ = false;
    Kedra::WaveImExport::WaveInfo info;
    float* samples = nullptr;
    waveError_.clear();
    const int frames =
        Kedra::WaveImExport::ArrayWaveImportMemory(bytes, info, samples, &waveError_);
    return ReadWave(measurement, frames, info, samples, "ImpulseImporter::ImportWave(<memory>)");
}

bool ImpulseImporter::ReadWave(Measurement& measurement, int frames,
                               const Kedra::WaveImExport::WaveInfo& info, float* samples,
                               const std::string& who) {
    // The array is ours from here on, whatever happens.
    struct Release {
        float*& p;
        ~Release() { Mem::FreeArray(p); }
    } release{samples};

    if (frames <= 0 || samples == nullptr) {
        Log("WARNING " + who + " : no readable mono or stereo samples (" +
            std::to_string(info.channels) + " channels) -> nothing imported");
        return false;
    }
    if (info.samplerate <= 0) {
        Log("WARNING " + who + " : sample rate " + std::to_string(info.samplerate) +
            " -> nothing imported");
        return false;
    }
    const bool truncated = frames > MAX_SAMPLES;
    const int n = truncated ? MAX_SAMPLES : frames;
    std::vector<double> values(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double x = samples[i];
        if (!std::isfinite(x)) {
            Log("WARNING " + who + " : sample " + std::to_string(i) +
                " is not a finite number -> nothing imported");
            return false;
        }
        values[static_cast<std::size_t>(i)] = x;
    }
    if (truncated)
        Log("WARNING " + who + " : more than " + std::to_string(MAX_SAMPLES) +
            " samples -> only the first " + std::to_string(MAX_SAMPLES) + " imported");
    if (!Build(measurement, values.data(), n, info.samplerate, who))
        return false;
    truncated_ = truncated;
    return true;
}

bool ImpulseImporter::Build(Measurement& measurement, const double* samples, int n, int rate,
                            const std::string& who) {
    const int length = TransformLength(n);
    const int half = length / 2;
    auto time = Mem::Array<double>::Zeros(static_cast<std::size_t>(length));
    double* zero = time.data() + half;
    for (int i = 0; i < n; ++i)
        zero[i] = samples[i];

    int peak = 0;
    // Silence has no peak to move.
    if (alignPeak && Kedra::Math::ArrayMaxAbs(time.data(), length) > 0.0) {
        peak = Kedra::Analyze::FindImpulseIndex(zero, length, true,
                                                Kedra::Analyze::TZM::FirstPostivePeak, nullptr);
        Kedra::Math::ArrayCircShift(zero, length, -peak, true);
    }

    Mem::Array<std::complex<double>> spectrum(static_cast<std::size_t>(half) + 1);
    Kedra::Math::FFTPow2TimeToFreq(zero, spectrum.data(), length, true, false);
    measurement.InitializeFreq(spectrum.data(), half, rate, half, 0, 0.0, 0.0, true);
    if (!measurement.IsInitialized() || measurement.GetN() != length) {
        Log("WARNING " + who + " : the measurement could not be built -> nothing imported");
        return false;
    }
    measurement.PostInitSetOffset(peak);
    samplesRead_ = n;
    Log("INFO    " + who + " : " + std::to_string(n) + " samples at " + std::to_string(rate) +
        " Hz, transform length " + std::to_string(length) + ", peak at " + std::to_string(peak));
    return true;
}

} // namespace Kedra::Measure
