#pragma once
// Shared helpers of the test programs: a private temporary directory per test program, the
// log file the tests write to, and small file and wave makers.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace SonvelTest {

// Created on first use under the system temporary directory, removed at exit.
const std::filesystem::path& TempDir();

// The log file every test program writes to (inside TempDir()).
std::filesystem::path LogFile();

// Everything written to the log file so far.
std::string ReadLog();

// A whole file as bytes ("" when it cannot be read), and a file replaced by bytes.
std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

// One run of a program with its own user directory: its exit status (-1 when it did not
// exit), its stdout and its stderr (kept in files in `dir`).
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};
ProgramRun RunProgram(const std::string& binary, const std::filesystem::path& dir,
                      const std::string& args);

// An input the fuzzer found, kept in the corpus of its reader (fuzz/corpus/<reader>/<name>);
// empty when it is not there.
std::vector<unsigned char> FuzzFinding(const std::string& reader, const std::string& name);

// A canonical 44-byte-header 16-bit PCM wave file with interleaved frames, made by hand
// (not by the library under test). A non-zero `dataSizeOverride` forges the data size.
std::vector<unsigned char> HandMadeWave(int channels, int samplerate,
                                        const std::vector<std::int16_t>& samples,
                                        std::uint32_t dataSizeOverride = 0);

} // namespace SonvelTest
