#include "audio/Devices.h"

#include <iomanip>
#include <sstream>

#include "audio/SimulatedSoundCard.h"
#include "audio/StreamInitializer.h"

namespace Kedra::PAudioII {

namespace {

int DeviceCount() {
    return PortAudioDeviceCount() + SIMULATED_DEVICE_COUNT;
}

std::vector<int> DevicesWith(int hostApi, bool output) {
    PaInitializer::EnsureInitialized();
    std::vector<int> devices;
    for (int d = 0; d < DeviceCount(); ++d) {
        const PaDeviceInfo* info = DeviceInfoOf(d);
        if (info == nullptr || info->hostApi != hostApi)
            continue;
        if ((output ? info->maxOutputChannels : info->maxInputChannels) > 0)
            devices.push_back(d);
    }
    return devices;
}

std::string Label(const char* text) {
    std::string label(text);
    label.resize(23, ' ');
    return label;
}

std::string Khz(double hz) {
    std::ostringstream s;
    s << hz / 1000.0;
    return s.str();
}

} // namespace

std::string HostApiTypeName(int type) {
    switch (type) {
    case 0:
        return "MME";
    case 1:
        return "DS";
    case 2:
    case 3:
        return "ASIO";
    case 4:
        return "SoundMng";
    case 5:
        return "CoreAudio";
    case 7:
        return "OSS";
    case 8:
        return "ALSA";
    case 9:
        return "AL";
    case 10:
        return "BeOS";
    case 11:
        return "WDMKS";
    case 12:
        return "JACK";
    case 13:
        return "WASAPI";
    default:
        return "Unknown";
    }
}

const PaDeviceInfo* GetDeviceInfo(int device) {
    PaInitializer::EnsureInitialized();
    return DeviceInfoOf(device);
}

int GetHostApiCount() {
    return SimulatedHostApiIndex() + 1;
}

std::string HostApiNameAt(int hostApi) {
    if (hostApi == SimulatedHostApiIndex())
        return SIMULATED_HOST_API_NAME;
    const PaHostApiInfo* api =
        hostApi >= 0 && PaInitializer::EnsureInitialized() ? Pa_GetHostApiInfo(hostApi) : nullptr;
    return api != nullptr ? HostApiTypeName(api->type) : "Unknown";
}

std::string GetHostApiName(int device) {
    PaInitializer::EnsureInitialized();
    if (IsSimulatedDevice(device))
        return SIMULATED_HOST_API_NAME;
    const PaDeviceInfo* info = DeviceInfoOf(device);
    if (info == nullptr)
        return "Unknown";
    // The device holds the index of its host API; the table is by the API's type.
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    return api != nullptr ? HostApiTypeName(api->type) : "Unknown";
}

std::string GetDeviceName(int device, bool withApi) {
    const PaDeviceInfo* info = GetDeviceInfo(device);
    const std::string name = info != nullptr && info->name != nullptr ? info->name : "";
    return withApi ? GetHostApiName(device) + ": " + name : name;
}

std::vector<int> GetOutDevices(int hostApi) {
    return DevicesWith(hostApi, true);
}

std::vector<int> GetInDevices(int hostApi) {
    return DevicesWith(hostApi, false);
}

int ChToChMask(int ch) {
    return (ch >= 0 && ch < 31) ? 1 << ch : 0;
}

bool IsChInMask(int ch, int mask) {
    return ch >= 0 && ch < 31 && (mask & (1 << ch)) > 0;
}

bool IsSampleRateSupported(int device, double rate) {
    const PaDeviceInfo* info = GetDeviceInfo(device);
    if (info == nullptr)
        return false;
    if (IsSimulatedDevice(device))
        return rate >= 8000.0 && rate <= 192000.0;
    PaStreamParameters in{device, info->maxInputChannels, paFloat32, 0.0, nullptr};
    PaStreamParameters out{device, info->maxOutputChannels, paFloat32, 0.0, nullptr};
    return Pa_IsFormatSupported(info->maxInputChannels > 0 ? &in : nullptr,
                                info->maxOutputChannels > 0 ? &out : nullptr,
                                rate) == paFormatIsSupported;
}

void ShowDeviceInfo(std::ostream& report) {
    PaInitializer::EnsureInitialized();
    report << "PortAudio device information\n";
    for (int d = 0; d < DeviceCount(); ++d) {
        const PaDeviceInfo* info = DeviceInfoOf(d);
        if (info == nullptr)
            continue;
        report << std::string(60, '-') << "\n";
        report << Label("Device number:") << d << "\n";
        report << Label("Name:") << (info->name != nullptr ? info->name : "") << "\n";
        report << Label("API:") << GetHostApiName(d) << "\n";
        report << Label("Default samplerate:") << Khz(info->defaultSampleRate) << "kHz\n";
        report << Label("Input channels:") << info->maxInputChannels << "\n";
        report << Label("Output channels:") << info->maxOutputChannels << "\n";
        std::string rates;
        for (int rate : STANDARD_SAMPLE_RATES) {
            if (!IsSampleRateSupported(d, rate))
                continue;
            rates += (rates.empty() ? "" : "  -  ") + Khz(rate);
        }
        report << Label("Samplerates [kHz]:") << (rates.empty() ? "None" : rates) << "\n";
    }
}

} // namespace Kedra::PAudioII
