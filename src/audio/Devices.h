#pragma once
// The sound devices the program can offer: PortAudio's, followed by the simulated sound
// card's. Every function makes sure PortAudio is initialised first.

#include <portaudio.h>

#include <ostream>
#include <string>
#include <vector>

namespace Kedra::PAudioII {

// Standard rates probed for the device report, in Hz.
inline constexpr int STANDARD_SAMPLE_RATES[] = {8000,  9600,  11025, 12000, 16000, 22050, 24000,
                                                32000, 44100, 48000, 88200, 96000, 192000};

// The text of a host API by its type: "ALSA", "JACK", ...; "Unknown" for others.
std::string HostApiTypeName(int type);

// Host APIs are numbered in PortAudio's order, followed by the simulated sound card's.
int GetHostApiCount();
// The text of the host API with this number: "ALSA", "JACK", ..., "Simulated"; "Unknown" for
// a number that does not exist.
std::string HostApiNameAt(int hostApi);

std::string GetDeviceName(int device, bool withApi);
// "Simulated" for the simulated sound card; "Unknown" for a device that does not exist.
std::string GetHostApiName(int device);
// Devices with at least one output (input) channel on the host API with this index.
std::vector<int> GetOutDevices(int hostApi);
std::vector<int> GetInDevices(int hostApi);
// PortAudio's information, or the simulated card's; null for no such device.
const PaDeviceInfo* GetDeviceInfo(int device);
// Whether the device takes 32-bit float at the rate with all its channels.
bool IsSampleRateSupported(int device, double rate);

int ChToChMask(int ch);
bool IsChInMask(int ch, int mask);

void ShowDeviceInfo(std::ostream& report);

} // namespace Kedra::PAudioII
