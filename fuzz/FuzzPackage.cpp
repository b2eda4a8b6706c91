// Measurement packages as the program opens them: from a file, replacing the list and then
// appended to what the first open placed.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "measure/MeasurementList.h"

namespace {

// The controller's slot count.
constexpr int SLOTS = 40;

std::vector<std::string> Snapshot(Kedra::Measure::MeasurementList& list) {
    std::vector<std::string> s;
    for (int i = 0; i < list.GetSize(); ++i)
        s.push_back(Kedra::Fuzz::Fingerprint(*list.No(i)));
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Kedra::Fuzz::Input input(data, size);
    const std::string path = input.WriteFile("input.zip");
    Kedra::Measure::MeasurementList list(SLOTS);
    list.SetTempDirectory(Kedra::Fuzz::PrivateDirectory().string());
    Kedra::Measure::OpenReport report;
    list.OpenTry(path, false, &report);
    if (report.opened > report.found)
        Kedra::Fuzz::Fail("more measurements placed than found");

    // Appending to a list that holds measurements: a package that places nothing must leave
    // every slot as it was.
    const std::vector<std::string> before = Snapshot(list);
    if (!list.OpenTry(path, true, &report) && Snapshot(list) != before)
        Kedra::Fuzz::Fail("a refused append changed the list");
    return 0;
}
