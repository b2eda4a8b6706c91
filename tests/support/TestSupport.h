#pragma once
// Shared helpers of the test programs: a private temporary directory per test program,
// and the path of the log file the tests write to.

#include <filesystem>
#include <string>

namespace SonvelTest {

// Created on first use under the system temporary directory, removed at exit.
const std::filesystem::path& TempDir();

// The log file every test program writes to (inside TempDir()).
std::filesystem::path LogFile();

// Everything written to the log file so far.
std::string ReadLog();

} // namespace SonvelTest
