// The Python module `sonvel`: measurements as numpy arrays, through the same controller
// actions the command line runs. One hidden controller serves the whole process; every call
// moves its records into the controller's slots, runs the action and takes them back out.

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analyze/MeasurementViews.h"
#include "app/FrontEnd.h"
#include "app/MainCtrl.h"
#include "app/Options.h"
#include "audio/SimulatedSoundCard.h"
#include "exchange/WaveFile.h"
#include "foundation/KedraLogger.h"
#include "foundation/MathHelpers.h"
#include "measure/MeasurementCore.h"
#include "measure/MeasurementFile.h"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace Conf = Kedra::Sonvel::Conf;
using Kedra::Measure::Measurement;
using Kedra::Sonvel::MainCtrl;

namespace {

constexpr int A = MainCtrl::PRESENTER_A;
constexpr int B = MainCtrl::PRESENTER_B;
constexpr int C = MainCtrl::PRESENTER_C;

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Keeps the controller's complaints for the exception, answers its questions with yes (as
// the command line's --yes), and turns Ctrl+C or cancel() into the pipeline's cancel.
class PythonFrontEnd : public Kedra::Sonvel::FrontEnd {
public:
    void ShowMessage(Kedra::Sonvel::MessageKind kind, const std::string&,
                     const std::string& text) override {
        if (kind != Kedra::Sonvel::MessageKind::Information)
            problem = problem.empty() ? text : problem + "\n" + text;
    }
    bool AskOkCancel(const std::string&, const std::string&) override { return true; }
    bool AskYesNo(const std::string&, const std::string&) override { return true; }
    void ReportProgress(const std::string&) override {}
    bool ProgressCancelled() override {
        if (cancel)
            return true;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            PyErr_Clear();
            interrupted = true;
            cancel = true;
        }
        return cancel;
    }

    std::string problem;
    std::atomic<bool> cancel{false};
    bool interrupted = false;
};

struct Session {
    fs::path dir;
    PythonFrontEnd front;
    std::unique_ptr<MainCtrl> ctrl;
    std::mutex mutex;
};

Session* session = nullptr;

// The controller reads and writes its options and autosave in its user directory: a private
// one, so that scripts never touch the user's own.
Session& TheSession() {
    if (session != nullptr)
        return *session;
    // A TMPDIR that is no directory is the script's to fix: said as the module's own error.
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec)
        throw Error("no temporary directory for the session (" + ec.message() +
                    "): set TMPDIR to a writable directory");
    std::string pattern = (temp / "sonvel-python-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw Error("cannot make a temporary directory under " + temp.string() + " (" +
                    std::strerror(errno) + "): set TMPDIR to a writable directory");
    auto* s = new Session;
    s->dir = pattern;
    Conf::SetUserDirectory(s->dir);
    // The log too, or it would land in whatever directory the script runs in.
    Kedra::Logging::KedraLogger::Initialize(
        (fs::path(s->dir) / Kedra::Logging::KedraLogger::DEFAULT_FILE_NAME).string());
    s->ctrl = std::make_unique<MainCtrl>(s->front);
    s->ctrl->SetReplacePolicy(Kedra::Sonvel::ReplacePolicy::Replace);
    s->ctrl->StartUp("");
    session = s;
    return *s;
}

void EndSession() {
    if (session == nullptr)
        return;
    session->ctrl.reset();
    Kedra::Logging::KedraLogger::Stop();
    std::error_code ec;
    fs::remove_all(session->dir, ec);
    delete session;
    session = nullptr;
}

// One call's hold on the controller: fresh slots, A, B, C in slots 0, 1, 2, no complaint yet.
class Use {
public:
    // Waits for the controller without the GIL: a measurement that holds it takes the GIL
    // to look for Ctrl+C.
    Use() : s_(TheSession()) {
        {
            py::gil_scoped_release release;
            lock_ = std::unique_lock<std::mutex>(s_.mutex);
        }
        s_.front.problem.clear();
        s_.front.cancel = false;
        s_.front.interrupted = false;
        Ctrl().List().Clear();
        Ctrl().SetPresenterSlot(A, 0);
        Ctrl().SetPresenterSlot(B, 1);
        Ctrl().SetPresenterSlot(C, 2);
    }
    ~Use() { Ctrl().List().Clear(); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    MainCtrl& Ctrl() { return *s_.ctrl; }
    PythonFrontEnd& Front() { return s_.front; }
    const fs::path& Dir() const { return s_.dir; }
    Kedra::Measure::MeasurementList& List() { return Ctrl().List(); }

    // The controller refused: its reason, or `fallback` when it gave none.
    [[noreturn]] void Fail(const std::string& fallback) {
        throw Error(s_.front.problem.empty() ? fallback : s_.front.problem);
    }

private:
    Session& s_;
    std::unique_lock<std::mutex> lock_;
};

// A measurement record owned by Python.
struct PyMeasurement {
    std::unique_ptr<Measurement> m;

    Measurement& Get() const {
        if (!m || !m->IsInitialized())
            throw Error("the measurement is empty");
        return *m;
    }
};

// Lends `pm`'s record to slot `slot` for the scope's life.
class Lend {
public:
    Lend(Use& use, PyMeasurement& pm, int slot) : use_(use), pm_(pm), slot_(slot) {
        pm.Get();
        use.List().SetNo(std::move(pm.m), slot);
    }
    ~Lend() { pm_.m = use_.List().Take(slot_); }
    Lend(const Lend&) = delete;
    Lend& operator=(const Lend&) = delete;

private:
    Use& use_;
    PyMeasurement& pm_;
    int slot_;
};

PyMeasurement TakeResult(Use& use, int slot, const std::string& fallback) {
    PyMeasurement out{use.List().Take(slot)};
    if (!out.m || !out.m->IsInitialized())
        use.Fail(fallback);
    // The analysis length every record of the list gets when it is opened: a result reads
    // as it does in the command line's next run.
    out.m->SetExponent(use.List().GetMAnalysis());
    return out;
}

template <class T>
py::array_t<T> ToArray(const T* data, std::size_t count) {
    py::array_t<T> out(static_cast<py::ssize_t>(count));
    std::copy(data, data + count, out.mutable_data());
    return out;
}
py::array_t<double> ToArray(const std::vector<double>& v) {
    return ToArray(v.data(), v.size());
}

// A copy of `pm` through the controller's copy of A into B.
PyMeasurement Copy(PyMeasurement& pm) {
    Use use;
    {
        Lend lend(use, pm, 0);
        if (!use.Ctrl().Action_MeasCopyABC(0))
            use.Fail("the measurement could not be copied");
    }
    return TakeResult(use, 1, "the measurement could not be copied");
}

// Each measurement starts from the defaults, then `options`.
// The same object twice cannot lend its record to two slots: the second gets a copy.
struct Distinct {
    Distinct(PyMeasurement& first, PyMeasurement& second) : other(&second) {
        if (&first == &second) {
            copy = Copy(second);
            other = &copy;
        }
    }
    PyMeasurement copy;
    PyMeasurement* other;
};

void ApplyOptions(Use& use, const py::object& options) {
    Conf::Options::Reset();
    if (py::isinstance<py::str>(options)) {
        if (!use.Ctrl().Action_OptionsLoad(options.cast<std::string>()))
            use.Fail("the options file " + options.cast<std::string>() + " could not be read");
        return;
    }
    if (!options.is_none() && !py::isinstance<py::dict>(options))
        throw Error("options is a dict of 'Section.Field' to value, or an options file's path");
    if (!options.is_none())
        for (auto [key, value] : options.cast<py::dict>()) {
            const std::string path = py::str(key);
            std::string text = py::str(value);
            if (py::isinstance<py::bool_>(value))
                text = value.cast<bool>() ? "1" : "0";
            std::string why;
            switch (Conf::Options::SetInRange(path, text, why)) {
            case Conf::Options::SetResult::Ok:
                break;
            case Conf::Options::SetResult::OutOfRange:
                throw Error(why);
            case Conf::Options::SetResult::NoField:
                throw Error("there is no option " + path +
                            " (sections Plot, Misc, Dev, Signal, Analysis, ImExport, Filter, "
                            "MakeMicCal, Window)");
            case Conf::Options::SetResult::BadValue:
                throw Error("'" + text + "' is not a value for " + path);
            }
        }
    use.Ctrl().ApplyOptions();
}

// ---- module functions ----------------------------------------------------------------------

PyMeasurement Measure(const std::optional<std::string>& sim, const py::object& options,
                      const std::optional<std::string>& name) {
    auto use = std::make_unique<Use>();
    ApplyOptions(*use, options);
    if (sim) {
        Kedra::PAudioII::SimulatedModel model;
        if (!Kedra::PAudioII::SimulatedModelFromName(*sim, &model))
            throw Error("sim takes loopback, speaker, room or dead, not '" + *sim + "'");
        use->Ctrl().Audio().UseSimulated(true, model);
    } else {
        use->Ctrl().Audio().UseSimulated(false, Kedra::PAudioII::SimulatedModel::Loopback);
        const int api = Conf::Options::Field.Dev.ApiNumber;
        if (api >= 0 && api < Kedra::PAudioII::SimulatedHostApiIndex() &&
            Kedra::PAudioII::PortAudioDeviceCount() == 0)
            throw Error("no sound card found; give sim='speaker' (or loopback, room, dead) to "
                        "measure on the simulated sound card");
    }
    bool ok = false;
    {
        py::gil_scoped_release release;
        ok = use->Ctrl().Action_MeasStart(A);
    }
    if (use->Front().interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
    if (!ok)
        use->Fail(use->Front().cancel ? "the measurement was cancelled" : "the measurement failed");
    PyMeasurement out = TakeResult(*use, use->Ctrl().PresenterSlot(A), "nothing was measured");
    if (name)
        out.m->SetLabel(*name);
    return out;
}

void Cancel() {
    if (session != nullptr)
        session->front.cancel = true;
}

void CheckSamples(const py::array& a, const char* what) {
    if (a.ndim() != 1)
        throw Error(std::string(what) + " must be a one-dimensional array, not " +
                    std::to_string(a.ndim()) + "-dimensional");
    if (a.dtype().kind() != 'f')
        throw Error(std::string(what) +
                    " must hold floating-point samples (float64 or "
                    "float32), not dtype " +
                    std::string(py::str(a.dtype())));
    if (a.size() < 16)
        throw Error(std::string(what) + " holds too few samples (" + std::to_string(a.size()) +
                    ")");
}

void WriteWave(const py::array& a, int rate, const fs::path& path, const char* what) {
    CheckSamples(a, what);
    auto d = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
    if (Kedra::WaveImExport::ArrayWaveExport(
            d.data(), static_cast<int>(d.size()), rate, path.string(),
            Kedra::WaveImExport::WaveFormat::Float32, what, false) <= 0)
        throw Error(std::string("could not write the ") + what + " to " + path.string());
}

PyMeasurement Analyze(const py::array& recording, const std::optional<py::array>& reference,
                      int rate) {
    if (rate < 1000 || rate > 768000)
        throw Error("rate must lie in 1000 .. 768000 Hz, not " + std::to_string(rate));
    Use use;
    const fs::path rec = use.Dir() / "recording.wav";
    const fs::path ref = use.Dir() / "reference.wav";
    WriteWave(recording, rate, rec, "recording");
    if (reference)
        WriteWave(*reference, rate, ref, "reference");
    bool ok = false;
    {
        py::gil_scoped_release release;
        ok = use.Ctrl().Action_AnalyzeFile(0, rec.string(), reference ? ref.string() : "");
    }
    std::error_code ec;
    fs::remove(rec, ec);
    fs::remove(ref, ec);
    if (!ok)
        use.Fail("the recording could not be analysed");
    return TakeResult(use, 0, "the recording could not be analysed");
}

PyMeasurement Import(const std::string& path, const std::string& kind, int rate, bool phase) {
    if (kind != "response" && kind != "impulse")
        throw Error("kind is response or impulse, not '" + kind + "'");
    Use use;
    if (!use.Ctrl().Action_Import(0, path, kind == "impulse", rate, phase))
        use.Fail("could not import " + path);
    return TakeResult(use, 0, "could not import " + path);
}

// ---- Measurement ---------------------------------------------------------------------------

// Sets the view (smoothing, window) for one reading and puts the record's own back after.
class ViewScope {
public:
    ViewScope(Measurement& m, const py::object& smoothing, const py::object& window)
        : m_(m), nOct_(m.GetSmoothNOct()), smooth_(m.GetSmoothingEnabled()),
          window_(m.GetImpulseWindowEnabled()) {
        if (!smoothing.is_none()) {
            const double n = smoothing.cast<double>();
            if (!(n >= 0.0) || !std::isfinite(n))
                throw Error("smoothing is the octave fraction's denominator (6 for 1/6 "
                            "octave) or 0 for none");
            if (n > 0.0)
                m.SetSmoothNOct(n);
            m.SetSmoothingEnabled(n > 0.0);
        }
        if (!window.is_none())
            m.SetImpulseWindowEnabled(window.cast<bool>());
    }
    ~ViewScope() {
        m_.SetSmoothNOct(nOct_);
        m_.SetSmoothingEnabled(smooth_);
        m_.SetImpulseWindowEnabled(window_);
    }
    ViewScope(const ViewScope&) = delete;
    ViewScope& operator=(const ViewScope&) = delete;

private:
    Measurement& m_;
    double nOct_;
    bool smooth_, window_;
};

py::array_t<double> Frequencies(const PyMeasurement& pm) {
    Measurement& m = pm.Get();
    py::array_t<double> out(m.GetNBins());
    for (int k = 0; k < m.GetNBins(); ++k)
        out.mutable_at(k) = k * m.GetHzPerBin();
    return out;
}

py::array_t<std::complex<double>> Response(const PyMeasurement& pm, const py::object& smoothing,
                                           const py::object& window) {
    Measurement& m = pm.Get();
    ViewScope scope(m, smoothing, window);
    return ToArray(m.GetF(), static_cast<std::size_t>(m.GetNBins()));
}

py::array_t<double> MagnitudeDb(const PyMeasurement& pm, const py::object& smoothing,
                                const py::object& window) {
    Measurement& m = pm.Get();
    ViewScope scope(m, smoothing, window);
    const double* a = m.GetA();
    const double offset = m.HasSpl() ? m.GetSplOffset() : 0.0;
    py::array_t<double> out(m.GetNBins());
    for (int k = 0; k < m.GetNBins(); ++k)
        out.mutable_at(k) = Kedra::Math::AmplitudeToDB(a[k]) + offset;
    return out;
}

py::array_t<double> PhaseDeg(const PyMeasurement& pm, const py::object& smoothing,
                             const py::object& window) {
    Measurement& m = pm.Get();
    ViewScope scope(m, smoothing, window);
    const std::complex<double>* f = m.GetF();
    py::array_t<double> out(m.GetNBins());
    for (int k = 0; k < m.GetNBins(); ++k)
        out.mutable_at(k) = std::arg(f[k]) * 180.0 / M_PI;
    return out;
}

py::dict Distortion(const PyMeasurement& pm) {
    Measurement& m = pm.Get();
    if (m.GetHDSize() < 1)
        throw Error(Kedra::Sonvel::DISTORTION_MISSING);
    const int grid = Kedra::Measure::MeasurementCore::HD_GRID;
    py::dict out;
    py::array_t<double> hz(grid + 1);
    for (int i = 0; i <= grid; ++i)
        hz.mutable_at(i) = i * m.GetSamplerate() / (2.0 * grid);
    out["frequencies"] = hz;
    for (int r = 0; r < m.GetHDSize(); ++r) {
        const float* row = m.GetHDSmooth(r);
        if (row == nullptr)
            throw Error(Kedra::Sonvel::DISTORTION_MISSING);
        py::array_t<double> db(grid + 1);
        for (int i = 0; i <= grid; ++i)
            db.mutable_at(i) = row[i];
        out[py::str(Kedra::Measure::DistortionIndexToString(r))] = db;
    }
    return out;
}

py::object RoomAcoustics(const PyMeasurement& pm) {
    auto bands = Kedra::Measure::RoomAcousticsOf(pm.Get());
    // A missing value is NaN already.
    auto value = [](double v) { return v; };
    std::vector<std::string> names;
    std::vector<double> mid, edt, t20, t30, c50, c80, d50, ts;
    for (const auto& b : bands) {
        names.push_back(b.name);
        mid.push_back(b.midband);
        edt.push_back(value(b.parameters.edt));
        t20.push_back(value(b.parameters.t20));
        t30.push_back(value(b.parameters.t30));
        c50.push_back(value(b.parameters.c50));
        c80.push_back(value(b.parameters.c80));
        d50.push_back(value(b.parameters.d50));
        ts.push_back(value(b.parameters.ts) / 1000.0);
    }
    py::dict table;
    table["band"] = names;
    table["midband_hz"] = ToArray(mid);
    table["edt_s"] = ToArray(edt);
    table["t20_s"] = ToArray(t20);
    table["t30_s"] = ToArray(t30);
    table["c50_db"] = ToArray(c50);
    table["c80_db"] = ToArray(c80);
    table["d50_percent"] = ToArray(d50);
    table["ts_s"] = ToArray(ts);
    try {
        return py::module_::import("pandas").attr("DataFrame")(table);
    } catch (const py::error_already_set&) {
        return table;
    }
}

py::tuple GroupDelay(const PyMeasurement& pm) {
    std::vector<double> delay;
    Kedra::Measure::GroupDelayOf(pm.Get(), delay);
    return py::make_tuple(Frequencies(pm), ToArray(delay));
}

py::tuple Etc(const PyMeasurement& pm, double octave) {
    if (!(octave >= 0.0))
        throw Error("octave is a band's midband in Hz, or 0 for broadband");
    std::vector<double> ms, db;
    Kedra::Measure::EnergyTimeOf(pm.Get(), octave, ms, db);
    for (double& t : ms)
        t /= 1000.0;
    return py::make_tuple(ToArray(ms), ToArray(db));
}

py::dict Info(const PyMeasurement& pm) {
    Measurement& m = pm.Get();
    py::dict d;
    d["label"] = m.GetLabel();
    d["rate"] = m.GetSamplerate();
    d["n"] = m.GetN();
    d["signal"] = Kedra::Measure::SignalTypeToString(m.GetSignalType());
    d["date"] = m.GetRecDate();
    d["spl"] = m.HasSpl();
    if (m.HasSpl()) {
        d["spl_offset_db"] = m.GetSplOffset();
        d["spl_reference"] = m.GetSplReference();
    }
    d["text"] = Kedra::Measure::MeasurementFile::GetInfo(m);
    return d;
}

void Export(PyMeasurement& pm, const std::string& path, const std::string& kind) {
    Use use;
    Lend lend(use, pm, 0);
    if (!use.Ctrl().Action_Export(0, kind, path))
        use.Fail("could not export to " + path);
}

// ---- operations ----------------------------------------------------------------------------

PyMeasurement Operation(PyMeasurement& a, PyMeasurement& b, const std::string& op) {
    Distinct d(a, b);
    Use use;
    {
        Lend la(use, a, 0);
        Lend lb(use, *d.other, 1);
        if (!use.Ctrl().Action_MeasOperationABC(op))
            use.Fail("the operation " + op + " failed");
    }
    return TakeResult(use, 2, "the operation " + op + " failed");
}

PyMeasurement Invert(PyMeasurement& a) {
    Use use;
    {
        Lend la(use, a, 0);
        if (!use.Ctrl().Action_MeasOperationAB())
            use.Fail("the inversion failed");
    }
    return TakeResult(use, 1, "the inversion failed");
}

PyMeasurement MinimumPhase(PyMeasurement& a, bool causal) {
    PyMeasurement out = Copy(a);
    Use use;
    Lend lend(use, out, 0);
    if (!use.Ctrl().Action_MinimumPhase(0, causal))
        use.Fail("the minimum phase could not be computed");
    return out;
}

PyMeasurement Match(PyMeasurement& a, PyMeasurement& b, double fc, double bw, bool time) {
    PyMeasurement out = Copy(a);
    Use use;
    Lend la(use, out, 0);
    Lend lb(use, b, 1);
    if (!use.Ctrl().Action_MatchAToB(fc, bw, time))
        use.Fail("the match failed");
    return out;
}

PyMeasurement Stitch(PyMeasurement& low, PyMeasurement& high, double fc, double bw, bool time) {
    Distinct d(low, high);
    Use use;
    {
        Lend la(use, low, 0);
        Lend lb(use, *d.other, 1);
        if (!use.Ctrl().Action_AbcStitch(fc, bw, time))
            use.Fail("the stitch failed");
    }
    return TakeResult(use, 2, "the stitch failed");
}

PyMeasurement Average(std::vector<PyMeasurement*> inputs, const std::string& mode, bool align) {
    using Kedra::Measure::AverageMode;
    AverageMode m;
    if (mode == "power")
        m = AverageMode::Power;
    else if (mode == "vector")
        m = AverageMode::Vector;
    else if (mode == "db")
        m = AverageMode::Db;
    else
        throw Error("mode is power, vector or db, not '" + mode + "'");
    const int n = static_cast<int>(inputs.size());
    if (n >= MainCtrl::SLOT_COUNT)
        throw Error("at most " + std::to_string(MainCtrl::SLOT_COUNT - 1) +
                    " measurements can be averaged at once");
    std::vector<PyMeasurement> copies(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i] == nullptr)
            throw Error("average takes measurements, not None");
        for (std::size_t j = 0; j < i; ++j)
            if (inputs[j] == inputs[i]) {
                copies[i] = Copy(*inputs[i]);
                inputs[i] = &copies[i];
                break;
            }
    }
    Use use;
    std::vector<std::unique_ptr<Lend>> lent;
    std::vector<int> slots;
    for (int i = 0; i < n; ++i) {
        lent.push_back(std::make_unique<Lend>(use, *inputs[static_cast<std::size_t>(i)], i));
        slots.push_back(i);
    }
    if (!use.Ctrl().Action_Average(slots, n, m, align))
        use.Fail("the average failed");
    lent.clear();
    return TakeResult(use, n, "the average failed");
}

// ---- Package -------------------------------------------------------------------------------

struct Package {
    std::vector<std::shared_ptr<PyMeasurement>> items;
};

Package OpenPackage(const std::string& path) {
    Use use;
    if (!use.Ctrl().Action_OpenFile(path))
        use.Fail("could not open " + path);
    if (!use.Front().problem.empty())
        use.Fail("");
    Package p;
    for (int i = 0; i < use.List().GetSize(); ++i)
        if (use.List().IsFilled(i))
            p.items.push_back(std::make_shared<PyMeasurement>(PyMeasurement{use.List().Take(i)}));
    return p;
}

void SavePackage(Package& p, const std::string& path) {
    if (static_cast<int>(p.items.size()) > MainCtrl::SLOT_COUNT)
        throw Error("a package holds at most " + std::to_string(MainCtrl::SLOT_COUNT) +
                    " measurements");
    std::vector<PyMeasurement*> items;
    std::vector<PyMeasurement> copies(p.items.size());
    for (std::size_t i = 0; i < p.items.size(); ++i) {
        if (!p.items[i])
            throw Error("a package holds measurements, not None");
        items.push_back(p.items[i].get());
        for (std::size_t j = 0; j < i; ++j)
            if (items[j] == items[i]) {
                copies[i] = Copy(*items[i]);
                items[i] = &copies[i];
                break;
            }
    }
    Use use;
    std::vector<std::unique_ptr<Lend>> lent;
    for (std::size_t i = 0; i < items.size(); ++i)
        lent.push_back(std::make_unique<Lend>(use, *items[i], static_cast<int>(i)));
    if (!use.Ctrl().Action_SaveFile(path, false))
        use.Fail("could not save " + path);
}

} // namespace

PYBIND11_MODULE(sonvel, mod) {
    mod.doc() = "Sonvel's measurement engine: measure, analyse, open and save measurements.\n\n"
                "Arrays are float64 (complex128 for responses), frequencies in Hz, times in "
                "seconds, levels in dB. Every array handed out is a copy: a record recomputes "
                "its views when they are asked for with other settings.";
    static py::exception<Error> error(mod, "Error");
    error.doc() = "What the engine refused, with its reason.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const Error& e) {
            PyErr_SetString(error.ptr(), e.what());
        } catch (const py::cast_error& e) {
            PyErr_SetString(error.ptr(), e.what());
        }
    });
    py::module_::import("atexit").attr("register")(py::cpp_function([] { EndSession(); }));

    py::class_<PyMeasurement, std::shared_ptr<PyMeasurement>>(
        mod, "Measurement", "One measurement record: an impulse response and its views.")
        .def_property_readonly(
            "impulse",
            [](const PyMeasurement& pm) {
                Measurement& m = pm.Get();
                return ToArray(m.GetI() - m.GetNHalf(), static_cast<std::size_t>(m.GetN()));
            },
            "The impulse response (float64, a copy) of the current view: N samples, time zero "
            "at index N/2 (see time_zero).")
        .def_property_readonly(
            "time_zero",
            [](const PyMeasurement& pm) {
                Measurement& m = pm.Get();
                return m.GetNHalf() / static_cast<double>(m.GetSamplerate());
            },
            "Seconds from the impulse's first sample to its time zero.")
        .def_property_readonly(
            "rate", [](const PyMeasurement& pm) { return pm.Get().GetSamplerate(); },
            "Sample rate in Hz.")
        .def_property_readonly("frequencies", &Frequencies,
                               "The bins' frequencies in Hz, 0 to half the rate (N/2 + 1).")
        .def("response", &Response, py::arg("smoothing") = py::none(),
             py::arg("window") = py::none(),
             "The complex response (complex128, a copy) at `frequencies`. smoothing: 6 for "
             "1/6 octave, 0 for none, None for the record's own; window: True or False for "
             "the impulse window on or off, None for the record's own.")
        .def("magnitude_db", &MagnitudeDb, py::arg("smoothing") = py::none(),
             py::arg("window") = py::none(),
             "Level in dB (dB SPL when the record has an SPL reference) at `frequencies`.")
        .def("phase_deg", &PhaseDeg, py::arg("smoothing") = py::none(),
             py::arg("window") = py::none(), "Phase in degrees, -180 to 180, at `frequencies`.")
        .def("distortion", &Distortion,
             "Harmonic distortion of a logarithmic sweep: {'frequencies': Hz, "
             "'<harmonic>': dB re the fundamental}.")
        .def("room_acoustics", &RoomAcoustics,
             "Room acoustic parameters per octave band and broadband: a pandas DataFrame when "
             "pandas is installed, else a dict of columns; NaN where a value is missing.")
        .def("group_delay", &GroupDelay,
             "(frequencies in Hz, group delay in seconds) of the current view.")
        .def("etc", &Etc, py::arg("octave") = 0.0,
             "(times in seconds from time zero, energy-time curve in dB re its peak), "
             "broadband or in the octave band at `octave` Hz.")
        .def_property_readonly("info", &Info, "What the record says about itself, as a dict.")
        .def_property(
            "label", [](const PyMeasurement& pm) { return pm.Get().GetLabel(); },
            [](PyMeasurement& pm, const std::string& label) { pm.Get().SetLabel(label); },
            "The measurement's name.")
        .def("export", &Export, py::arg("path"), py::arg("kind") = "response",
             "Write a file as the command line's export does: kind response, impulse, wave, "
             "cal, distortion, groupdelay, etc, waterfall or decay.")
        .def("copy", &Copy, "A copy of the record.")
        .def("__repr__", [](const PyMeasurement& pm) {
            if (!pm.m || !pm.m->IsInitialized())
                return std::string("<sonvel.Measurement empty>");
            return "<sonvel.Measurement '" + pm.m->GetLabel() + "' " +
                   std::to_string(pm.m->GetSamplerate()) + " Hz N=" + std::to_string(pm.m->GetN()) +
                   ">";
        });

    py::class_<Package>(mod, "Package", "A measurement package (.zip): a list of measurements.")
        .def(py::init<>())
        .def(py::init([](std::vector<std::shared_ptr<PyMeasurement>> items) {
                 return Package{std::move(items)};
             }),
             py::arg("measurements"))
        .def_static("open", &OpenPackage, py::arg("path"),
                    "Read a package; a damaged one raises sonvel.Error.")
        .def("save", &SavePackage, py::arg("path"),
             "Write the package; the file there stays intact unless the new one was written "
             "completely.")
        .def("__len__", [](const Package& p) { return p.items.size(); })
        .def("__getitem__",
             [](const Package& p, py::ssize_t i) {
                 const auto n = static_cast<py::ssize_t>(p.items.size());
                 if (i < 0)
                     i += n;
                 if (i < 0 || i >= n)
                     throw py::index_error("the package holds " + std::to_string(n) +
                                           " measurements");
                 return p.items[static_cast<std::size_t>(i)];
             })
        .def(
            "__iter__",
            [](const Package& p) { return py::make_iterator(p.items.begin(), p.items.end()); },
            py::keep_alive<0, 1>())
        .def("append",
             [](Package& p, std::shared_ptr<PyMeasurement> m) { p.items.push_back(std::move(m)); });

    mod.def("measure", &Measure, py::arg("sim") = py::none(), py::arg("options") = py::none(),
            py::arg("name") = py::none(),
            "Measure once and return the Measurement. sim: 'loopback', 'speaker', 'room' or "
            "'dead' for the simulated sound card, None for the devices the options name. "
            "options: {'Section.Field': value} (as the command line's --set) or an options "
            "file's path. The GIL is released while it measures; Ctrl+C or cancel() from "
            "another thread stops it.");
    mod.def("cancel", &Cancel, "Stop the measurement that runs now.");
    mod.def("analyze", &Analyze, py::arg("recording"), py::arg("reference") = py::none(),
            py::arg("rate") = 48000,
            "Measure from a recording (1-D float array, full scale 1.0) of the played "
            "`reference`, or of the current test signal when None. The samples are narrowed to "
            "float32 on the way.");
    mod.def("import_file", &Import, py::arg("path"), py::arg("kind") = "response",
            py::arg("rate") = 48000, py::arg("phase") = false,
            "Read a response text (kind 'response', with its phase column when `phase`) or an "
            "impulse (kind 'impulse', or any wave, FLAC or AIFF file).");
    mod.def(
        "divide", [](PyMeasurement& a, PyMeasurement& b) { return Operation(a, b, "/"); },
        py::arg("a"), py::arg("b"), "a / b, a new measurement.");
    mod.def(
        "multiply", [](PyMeasurement& a, PyMeasurement& b) { return Operation(a, b, "*"); },
        py::arg("a"), py::arg("b"), "a * b, a new measurement.");
    mod.def(
        "add", [](PyMeasurement& a, PyMeasurement& b) { return Operation(a, b, "+"); },
        py::arg("a"), py::arg("b"), "a + b, a new measurement.");
    mod.def(
        "subtract", [](PyMeasurement& a, PyMeasurement& b) { return Operation(a, b, "-"); },
        py::arg("a"), py::arg("b"), "a - b, a new measurement.");
    mod.def("invert", &Invert, py::arg("a"), "1 / a, a new measurement.");
    mod.def("minimum_phase", &MinimumPhase, py::arg("a"), py::arg("causal") = false,
            "a with its minimum phase, a new measurement.");
    mod.def("average", &Average, py::arg("measurements"), py::arg("mode") = "power",
            py::arg("align") = false,
            "The average (mode 'power', 'vector' or 'db') of two or more measurements.");
    mod.def(
        "stitch", &Stitch, py::arg("low"), py::arg("high"), py::arg("fc"), py::arg("bandwidth"),
        py::arg("match_time") = false,
        "`low` below fc (Hz) joined to `high` above it over `bandwidth` Hz, a new measurement.");
    mod.def("match", &Match, py::arg("a"), py::arg("b"), py::arg("fc") = 1000.0,
            py::arg("bandwidth") = 200.0, py::arg("match_time") = false,
            "a with its level (and time, when match_time) matched to b in the band of `bandwidth` "
            "Hz at fc Hz, "
            "a new measurement.");
}
