#include "measure/MeasurementList.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>

#include "foundation/KedraLogger.h"
#include "measure/MeasurementFile.h"

namespace Kedra::Measure {
namespace {

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text);
}

bool LooksLikeZip(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[4] = {};
    in.read(head, sizeof(head));
    return in.gcount() == 4 && head[0] == 'P' && head[1] == 'K' &&
           ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
}

struct Found {
    int index = 0;
    std::string base;
    MeasurementFile::Loaded loaded;
};

} // namespace

MeasurementList::MeasurementList(int slotCount) {
    for (int i = 0; i < std::max(slotCount, 0); ++i)
        slots_.push_back(std::make_unique<Measurement>(EmptyLabel(i)));
}

std::string MeasurementList::EmptyLabel(int index) {
    return "Empty " + std::to_string(index);
}

Measurement* MeasurementList::No(int index) {
    if (index < 0 || index >= GetSize())
        return nullptr;
    return slots_[static_cast<std::size_t>(index)].get();
}

void MeasurementList::SetNo(std::unique_ptr<Measurement> measurement, int index) {
    if (index < 0 || index >= GetSize() || !measurement)
        return;
    slots_[static_cast<std::size_t>(index)] = std::move(measurement);
}

bool MeasurementList::IsFilled(int index) {
    const Measurement* m = No(index);
    return m != nullptr && m->IsInitialized();
}

int MeasurementList::LastFilled() const {
    for (int i = GetSize() - 1; i >= 0; --i) {
        if (slots_[static_cast<std::size_t>(i)]->IsInitialized())
            return i;
    }
    return -1;
}

void MeasurementList::Clear() {
    for (int i = 0; i < GetSize(); ++i)
        slots_[static_cast<std::size_t>(i)]->Reset(EmptyLabel(i));
}

void MeasurementList::Rearange() {
    std::stable_partition(slots_.begin(), slots_.end(),
                          [](const std::unique_ptr<Measurement>& m) { return m->IsInitialized(); });
    for (int i = LastFilled() + 1; i < GetSize(); ++i)
        slots_[static_cast<std::size_t>(i)]->SetLabel(EmptyLabel(i));
}

void MeasurementList::SetMAnalysis(int exponent) {
    Log("INFO    MeasurementList::SetMAnalysis( " + std::to_string(exponent) + " )\n");
    if (exponent < 1 || exponent > MeasurementCore::MAX_EXPONENT) {
        Log("WARNING MeasurementList::SetMAnalysis( " + std::to_string(exponent) +
            " ) - out of range, kept " + std::to_string(exponent_) + "\n");
        return;
    }
    exponent_ = exponent;
    for (auto& m : slots_) {
        if (m->IsInitialized() && m->GetExponent() != exponent)
            m->SetExponent(exponent);
    }
}

bool MeasurementList::OpenTry(const std::string& path, bool append) {
    try {
        if (OpenPackage(path, append))
            return true;
        return OpenObsolete(path, append);
    } catch (const std::exception& e) {
        Log(std::string("WARNING MeasurementList::OpenTry( ") + path + " ) - " + e.what() + "\n");
        return false;
    }
}

bool MeasurementList::OpenObsolete(const std::string& path, bool) {
    // A zip that was refused is not the older format; its reason is already in the log.
    if (LooksLikeZip(path))
        return false;
    Log("WARNING MeasurementList::OpenObsolete( " + path +
        " ) - not a measurement package; the older single-file format (.kdr) is not read\n");
    return false;
}

bool MeasurementList::OpenPackage(const std::string& path, bool append) {
    Log("INFO    MeasurementList::OpenPackage( " + path + " )\n");
    const std::string refused = "WARNING MeasurementList::OpenPackage( " + path + " ) - ";
    const Package::TempDirectory dir(tempDirectory_);
    if (!dir.Valid()) {
        Log(refused + dir.Error() + "\n");
        return false;
    }
    std::vector<std::string> written;
    std::string error;
    if (!Package::UnpackFile(path, dir.Path(), written, error, limits_)) {
        Log(refused + "refused: " + error + "\n");
        return false;
    }
    if (written.size() < 2) {
        Log("WARNING MeasurementList::OpenPackage(" + path + ") -> No files\n");
        return false;
    }
    std::sort(written.begin(), written.end());

    // Everything is read and checked before the list changes.
    std::vector<Found> found;
    try {
        for (const std::string& name : written) {
            const std::string suffix = ".info";
            if (name.size() <= suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            Found f;
            f.base = name.substr(0, name.size() - suffix.size());
            f.index = std::stoi(f.base.substr(f.base.size() - 3));
            if (!MeasurementFile::Load((dir.Path() / f.base).string(), f.loaded)) {
                Log(refused + "refused: " + f.base + " cannot be read\n");
                return false;
            }
            found.push_back(std::move(f));
        }
    } catch (const std::bad_alloc&) {
        Log(refused + "refused: out of memory\n");
        return false;
    }
    if (found.empty()) {
        Log("WARNING MeasurementList::OpenPackage(" + path + ") -> No files\n");
        return false;
    }

    const bool fits = append ? LastFilled() + 1 < GetSize()
                             : std::any_of(found.begin(), found.end(),
                                           [&](const Found& f) { return f.index < GetSize(); });
    if (!fits) {
        Log(refused + "refused: no slot for any of its measurements\n");
        return false;
    }
    int placed = 0;
    if (!append) {
        Clear();
        for (Found& f : found) {
            if (Measurement* m = No(f.index)) {
                MeasurementFile::Apply(f.loaded, *m, exponent_);
                ++placed;
            } else {
                Log(refused + f.base + " has no slot in a list of " + std::to_string(GetSize()) +
                    "\n");
            }
        }
    } else {
        int slot = LastFilled() + 1;
        for (Found& f : found) {
            Measurement* m = No(slot++);
            if (m == nullptr) {
                Log(refused + f.base + " and the rest have no free slot\n");
                break;
            }
            MeasurementFile::Apply(f.loaded, *m, exponent_);
            ++placed;
        }
    }
    return placed > 0;
}

bool MeasurementList::Save(const std::string& path) {
    Log("INFO    MeasurementList::Save( " + path + " )\n");
    Package::Writer writer;
    std::string error;
    bool ok = writer.Open(path, error);
    for (int i = 0; ok && i < GetSize(); ++i) {
        Measurement& m = *slots_[static_cast<std::size_t>(i)];
        if (!m.IsInitialized())
            continue;
        if (i >= MAX_SAVED_SLOTS) {
            Log("WARNING MeasurementList::Save( " + path + " ) - slot " + std::to_string(i) +
                " is beyond the numbers of a package and not saved\n");
            continue;
        }
        MeasurementFile::Rendered rendered;
        try {
            ok = MeasurementFile::Render(m, saveAsWave_, rendered, error);
        } catch (const std::bad_alloc&) {
            error = "out of memory";
            ok = false;
        }
        const std::string name = Package::EntryBaseName(i);
        ok = ok &&
             writer.Add(name + ".info",
                        std::span(reinterpret_cast<const unsigned char*>(rendered.info.data()),
                                  rendered.info.size()),
                        error) &&
             writer.Add(name + "." + rendered.format, rendered.data, error);
    }
    ok = ok && writer.Commit(error);
    if (!ok)
        Log("WARNING MeasurementList::Save( " + path + " ) - " + error +
            "; the previous file is kept\n");
    return ok;
}

} // namespace Kedra::Measure
