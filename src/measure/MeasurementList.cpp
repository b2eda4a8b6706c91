#include "measure/MeasurementList.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <utility>

#include "foundation/KedraLogger.h"
#include "measure/MeasurementFile.h"

namespace Kedra::Measure {
namespace {

void Log(const std::string& text) {
    Kedra::Logging::KedraLogger::LogText(text);
}

} // namespace

bool LooksLikeZip(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[4] = {};
    in.read(head, sizeof(head));
    return in.gcount() == 4 && head[0] == 'P' && head[1] == 'K' &&
           ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
}

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

std::unique_ptr<Measurement> MeasurementList::Take(int index) {
    if (index < 0 || index >= GetSize())
        return nullptr;
    auto taken = std::make_unique<Measurement>(EmptyLabel(index));
    std::swap(taken, slots_[static_cast<std::size_t>(index)]);
    return taken;
}

void MeasurementList::Swap(int a, int b) {
    if (a < 0 || a >= GetSize() || b < 0 || b >= GetSize())
        return;
    std::swap(slots_[static_cast<std::size_t>(a)], slots_[static_cast<std::size_t>(b)]);
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

bool MeasurementList::OpenTry(const std::string& path, bool append, OpenReport* report) {
    OpenReport local;
    OpenReport& r = report != nullptr ? *report : local;
    try {
        if (OpenPackage(path, append, &r))
            return true;
        return OpenObsolete(path, append);
    } catch (const std::exception& e) {
        Log(std::string("WARNING MeasurementList::OpenTry( ") + path + " ) - " + e.what() + "\n");
        r.refused = true;
        r.reason = e.what();
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

bool MeasurementList::OpenPackage(const std::string& path, bool append, OpenReport* report) {
    OpenReport local;
    OpenReport& r = report != nullptr ? *report : local;
    r = OpenReport{};
    Log("INFO    MeasurementList::OpenPackage( " + path + " )\n");
    const std::string warning = "WARNING MeasurementList::OpenPackage( " + path + " ) - ";
    const auto refuse = [&](const std::string& why) {
        Log(warning + "refused: " + why + "\n");
        r.refused = true;
        r.reason = why;
        return false;
    };
    const Package::TempDirectory dir(tempDirectory_);
    if (!dir.Valid())
        return refuse(dir.Error());
    std::vector<std::string> written;
    std::vector<Package::DamagedEntry> damaged;
    std::string error;
    if (!Package::UnpackFile(path, dir.Path(), written, error, limits_, &damaged))
        return refuse(error);
    if (written.size() < 2)
        Log("WARNING MeasurementList::OpenPackage(" + path + ") -> No files\n");

    // One measurement per base name ("measurement-001"), whichever of its files arrived.
    struct Member {
        bool hasInfo = false;
        std::string damage;
    };
    std::map<std::string, Member> members;
    const auto baseOf = [](const std::string& name) { return name.substr(0, name.rfind('.')); };
    for (const std::string& name : written)
        members[baseOf(name)].hasInfo |= name.ends_with(".info");
    for (const Package::DamagedEntry& d : damaged) {
        Member& m = members[baseOf(d.name)];
        if (m.damage.empty())
            m.damage = d.reason;
    }
    r.found = static_cast<int>(members.size());
    if (members.empty())
        return false;
    // Entry names are checked by the unpacker: three digits before the extension.
    const auto indexOf = [](const std::string& base) {
        return std::stoi(base.substr(base.size() - 3));
    };
    const bool fits = append ? LastFilled() + 1 < GetSize()
                             : std::any_of(members.begin(), members.end(), [&](const auto& m) {
                                   return indexOf(m.first) < GetSize();
                               });
    if (!fits)
        return refuse("no slot for any of its measurements");

    // Paths of the private unpack directory mean nothing to the user.
    const std::string unpackPrefix = (dir.Path() / "").string();
    const auto fail = [&](const std::string& base, std::string why) {
        for (std::size_t at = why.find(unpackPrefix); at != std::string::npos;
             at = why.find(unpackPrefix))
            why.erase(at, unpackPrefix.size());
        r.failed.push_back(base + ": " + why);
    };
    int next = LastFilled() + 1;
    bool cleared = false;
    std::uint64_t decoded = 0;
    for (const auto& [base, member] : members) {
        Measurement* target = No(append ? next : indexOf(base));
        if (target == nullptr) {
            fail(base, append ? "no free slot left"
                              : "no slot " + std::to_string(indexOf(base)) + " in a list of " +
                                    std::to_string(GetSize()));
            continue;
        }
        if (!member.hasInfo) {
            fail(base, member.damage.empty() ? "the info file is missing" : member.damage);
            continue;
        }
        // Decoded and placed one at a time: memory for one measurement, not for the package.
        MeasurementFile::Loaded loaded;
        std::string why;
        bool ok = false;
        const std::uint64_t left = limits_.maxSamples - std::min(decoded, limits_.maxSamples);
        try {
            ok = MeasurementFile::Load(
                (dir.Path() / base).string(), loaded, &why,
                static_cast<int>(std::min<std::uint64_t>(left, MeasurementCore::MAX_DATA_LENGTH)));
        } catch (const std::bad_alloc&) {
            why = "out of memory";
        }
        if (!ok) {
            fail(base, member.damage.empty() ? why : member.damage);
            continue;
        }
        if (!append && !cleared) {
            Clear();
            cleared = true;
        }
        decoded += static_cast<std::uint64_t>(loaded.length);
        MeasurementFile::Apply(loaded, *target, exponent_);
        ++r.opened;
        ++next;
    }
    if (!r.failed.empty())
        Log(warning + "opened " + std::to_string(r.opened) + " of " + std::to_string(r.found) +
            " measurements\n");
    return r.opened > 0;
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
