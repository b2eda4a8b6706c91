#include "gui/EqTab.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>
#include <fstream>

#include "app/MainCtrl.h"
#include "exchange/MeasurementImporter.h"
#include "filter/EqualiserExport.h"
#include "gui/FrequencyTicker.h"
#include "gui/PlotStyle.h"

namespace Kedra::Sonvel::Gui {

namespace {

using namespace Kedra::Filter;

enum Column { TYPE, FC, GAIN, Q, COLUMNS };

QDoubleSpinBox* Spin(double lo, double hi, double value, int decimals, QWidget* parent) {
    auto* s = new QDoubleSpinBox(parent);
    s->setRange(lo, hi);
    s->setDecimals(decimals);
    s->setValue(value);
    return s;
}

EqFormat FormatOf(const std::string& device) {
    EqFormat f = EqFormat::Text;
    ParseEqFormat(device == "minidsp-2x4hd" ? "minidsp" : device == "generic" ? "text" : device, f);
    return f;
}

} // namespace

EqTab::EqTab(MainCtrl& ctrl, QWidget* parent) : QWidget(parent), ctrl_(ctrl) {
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    presenter_ = new QComboBox(this);
    presenter_->addItems({"A", "B", "C"});
    target_ = new QLineEdit(QStringLiteral("flat"), this);
    target_->setObjectName("eqTarget");
    target_->setMinimumWidth(target_->fontMetrics().horizontalAdvance("house:10,100,-10") + 16);
    target_->setToolTip(tr("flat, house:LF_DB,LF_HZ,HF_DB or a response text file"));
    device_ = new QComboBox(this);
    device_->setObjectName("eqDevice");
    for (const std::string& d : EqDeviceNames())
        device_->addItem(QString::fromStdString(d));
    from_ = Spin(1.0, 100000.0, 20.0, 1, this);
    to_ = Spin(1.0, 100000.0, 300.0, 1, this);
    filters_ = new QSpinBox(this);
    filters_->setRange(1, 64);
    filters_->setValue(10);
    boost_ = Spin(0.0, 30.0, 6.0, 1, this);
    cut_ = Spin(0.0, 60.0, 15.0, 1, this);
    const std::pair<const char*, QWidget*> fields[] = {
        {"Measurement", presenter_}, {"Target", target_}, {"Device", device_},
        {"From Hz", from_},          {"To Hz", to_},      {"Filters", filters_},
        {"Max boost dB", boost_},    {"Max cut dB", cut_}};
    // Two rows, so that the tab fits a laptop's screen beside the presenters.
    auto* second = new QHBoxLayout;
    int at = 0;
    for (const auto& [label, w] : fields) {
        QHBoxLayout* into = at++ < 5 ? row : second;
        into->addWidget(new QLabel(tr(label), this));
        into->addWidget(w);
    }
    auto* fit = new QPushButton(tr("Fit"), this);
    fit->setObjectName("eqFit");
    auto* exportButton = new QPushButton(tr("Export..."), this);
    auto* keep = new QPushButton(tr("Keep prediction"), this);
    keep->setToolTip(tr("The predicted response as a new measurement in the first empty slot"));
    row->addStretch(1);
    second->addWidget(fit);
    second->addWidget(exportButton);
    second->addWidget(keep);
    second->addStretch(1);
    layout->addLayout(row);
    layout->addLayout(second);

    auto* split = new QSplitter(Qt::Horizontal, this);
    table_ = new QTableWidget(0, COLUMNS, split);
    table_->setObjectName("eqFilters");
    table_->setHorizontalHeaderLabels({tr("Type"), tr("Fc [Hz]"), tr("Gain [dB]"), tr("Q")});
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    plot_ = new QCustomPlot(split);
    StyleAxes(*plot_);
    plot_->xAxis->setScaleType(QCPAxis::stLogarithmic);
    plot_->xAxis->setTicker(QSharedPointer<FrequencyTicker>::create());
    plot_->xAxis->setLabel(tr("Frequency [Hz]"));
    plot_->yAxis->setLabel(tr("Level [dB]"));
    plot_->legend->setVisible(true);
    const QColor colours[] = {QColor(90, 90, 90), QColor(0, 0, 0), QColor(0, 110, 200)};
    const char* names[] = {"Response (smoothed)", "Target", "Predicted"};
    for (int i = 0; i < 3; ++i) {
        QCPGraph* g = plot_->addGraph();
        g->setName(tr(names[i]));
        g->setPen(QPen(colours[i], i == 1 ? 1.5 : 2.0, i == 1 ? Qt::DashLine : Qt::SolidLine));
    }
    plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    split->setStretchFactor(1, 3);
    layout->addWidget(split, 1);
    status_ = new QLabel(this);
    status_->setObjectName("eqStatus");
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(status_);

    connect(fit, &QPushButton::clicked, this, [this] { Fit(); });
    connect(keep, &QPushButton::clicked, this, [this] { KeepPrediction(); });
    connect(exportButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Export the filters"));
        if (!path.isEmpty())
            ExportTo(path);
    });
    connect(table_, &QTableWidget::cellChanged, this, &EqTab::CellEdited);
}

Kedra::Measure::Measurement* EqTab::Record() {
    Kedra::Measure::Measurement* m = ctrl_.Presenter(presenter_->currentIndex());
    return m != nullptr && m->IsInitialized() ? m : nullptr;
}

bool EqTab::Fit() {
    Kedra::Measure::Measurement* m = Record();
    if (m == nullptr) {
        status_->setText(
            tr("Presenter %1 holds no measurement to equalise.").arg(presenter_->currentText()));
        return false;
    }
    EqTarget target;
    std::string why;
    const std::string text = target_->text().trimmed().toStdString();
    if (text == "flat" || text.rfind("house:", 0) == 0) {
        if (!ParseEqTarget(text, target, why)) {
            status_->setText(QString::fromStdString("The target: " + why));
            return false;
        }
    } else {
        Kedra::Measure::MeasurementImporter importer;
        importer.samplerate = m->GetSamplerate();
        Kedra::Measure::Measurement curve("target");
        if (!importer.Import(curve, text) || !curve.IsInitialized()) {
            status_->setText(tr("Cannot read the target file %1: it must hold frequency and dB "
                                "per line (see the log file).")
                                 .arg(target_->text()));
            return false;
        }
        target.kind = EqTarget::Kind::Points;
        for (double f = 10.0; f < m->GetSamplerate() / 2.0; f *= std::exp2(1.0 / 48.0)) {
            const int k =
                std::min(static_cast<int>(std::lround(f * curve.GetBinsPerHz())), curve.GetNHalf());
            target.hz.push_back(f);
            target.db.push_back(20.0 * std::log10(std::max(std::abs(curve.GetF0()[k]), 1e-30)) +
                                importer.GetRemovedLevelDb());
        }
    }
    FindEqDevice(device_->currentText().toStdString(), deviceProfile_);
    limits_ = EqLimits{};
    limits_.fromHz = from_->value();
    limits_.toHz = to_->value();
    limits_.filters = filters_->value();
    limits_.maxBoostDb = boost_->value();
    limits_.maxCutDb = cut_->value();
    EqFit fit;
    if (!FitEqualiser(*m, target, limits_, deviceProfile_, fit, why)) {
        status_->setText(QString::fromStdString("Not fitted: " + why));
        return false;
    }
    fit_ = std::move(fit);
    FillTable();
    plot_->graph(0)->setData(QVector<double>(fit_.hz.begin(), fit_.hz.end()),
                             QVector<double>(fit_.responseDb.begin(), fit_.responseDb.end()));
    plot_->graph(1)->setData(QVector<double>(fit_.hz.begin(), fit_.hz.end()),
                             QVector<double>(fit_.targetDb.begin(), fit_.targetDb.end()));
    Predict();
    plot_->rescaleAxes();
    plot_->yAxis->scaleRange(1.2);
    plot_->replot();
    return true;
}

void EqTab::FillTable() {
    filling_ = true;
    table_->setRowCount(static_cast<int>(fit_.filters.size()));
    for (int r = 0; r < table_->rowCount(); ++r) {
        const EqFilter& f = fit_.filters[static_cast<std::size_t>(r)];
        auto* type = new QTableWidgetItem(QString::fromLatin1(EqFilterTypeCode(f.type)));
        type->setFlags(type->flags() & ~Qt::ItemIsEditable);
        table_->setItem(r, TYPE, type);
        table_->setItem(r, FC, new QTableWidgetItem(QString::number(f.fc, 'f', 2)));
        table_->setItem(r, GAIN, new QTableWidgetItem(QString::number(f.gainDb, 'f', 2)));
        table_->setItem(r, Q, new QTableWidgetItem(QString::number(f.q, 'f', 3)));
    }
    filling_ = false;
}

void EqTab::CellEdited(int row, int column) {
    if (filling_ || row < 0 || row >= static_cast<int>(fit_.filters.size()))
        return;
    EqFilter& f = fit_.filters[static_cast<std::size_t>(row)];
    bool ok = false;
    const double v = table_->item(row, column)->text().trimmed().toDouble(&ok);
    QString refused;
    if (!ok || !std::isfinite(v))
        refused = tr("not a number");
    else if (column == FC && !(v >= limits_.fromHz && v <= limits_.toHz))
        refused = tr("Fc must lie within %1 .. %2 Hz").arg(limits_.fromHz).arg(limits_.toHz);
    else if (column == GAIN && !(v >= -limits_.maxCutDb && v <= limits_.maxBoostDb))
        refused = tr("the gain must lie within -%1 .. %2 dB")
                      .arg(limits_.maxCutDb)
                      .arg(limits_.maxBoostDb);
    else if (column == Q && !(v >= limits_.qMin && v <= limits_.qMax))
        refused = tr("Q must lie within %1 .. %2").arg(limits_.qMin).arg(limits_.qMax);
    if (!refused.isEmpty()) {
        status_->setText(tr("Filter %1: \"%2\" was not taken: %3; the cell shows the value in use.")
                             .arg(row + 1)
                             .arg(table_->item(row, column)->text(), refused));
        FillTable();
        return;
    }
    (column == FC ? f.fc : column == GAIN ? f.gainDb : f.q) = v;
    Predict();
    plot_->replot();
}

void EqTab::Predict() {
    Kedra::Measure::Measurement* m = Record();
    if (m == nullptr || fit_.hz.empty())
        return;
    fit_.predictedDb = EqResponseThrough(*m, fit_.filters, fit_.rate, limits_.smoothing, fit_.hz);
    double sum = 0.0, largest = 0.0;
    for (std::size_t i = 0; i < fit_.hz.size(); ++i) {
        const double e = fit_.predictedDb[i] - fit_.targetDb[i];
        sum += e * e;
        largest = std::max(largest, std::fabs(e));
    }
    fit_.rmsAfter = std::sqrt(sum / static_cast<double>(fit_.hz.size()));
    fit_.maxAfter = largest;
    plot_->graph(2)->setData(QVector<double>(fit_.hz.begin(), fit_.hz.end()),
                             QVector<double>(fit_.predictedDb.begin(), fit_.predictedDb.end()));
    const std::string table = EqExportText(fit_, EqFormat::Text, fit_.rate);
    // The figures and the dips: the table's lines after the filters.
    const auto at = table.find("Target 0 dB");
    status_->setText(QString::fromStdString(at == std::string::npos ? table : table.substr(at)));
}

bool EqTab::ExportTo(const QString& path) {
    if (fit_.hz.empty()) {
        status_->setText(tr("Nothing to export: press Fit first."));
        return false;
    }
    std::ofstream file(path.toStdString(), std::ios::binary | std::ios::trunc);
    file << EqExportText(fit_, FormatOf(deviceProfile_.name), fit_.rate);
    file.close();
    if (!file) {
        status_->setText(
            tr("Could not write %1: check the folder exists and may be written.").arg(path));
        return false;
    }
    status_->setText(tr("Wrote the filters for %1 to %2")
                         .arg(QString::fromStdString(deviceProfile_.name), path));
    return true;
}

int EqTab::KeepPrediction() {
    Kedra::Measure::Measurement* m = Record();
    const int into = ctrl_.FirstEmptySlot();
    if (m == nullptr || fit_.hz.empty()) {
        status_->setText(tr("Nothing to keep: press Fit first."));
        return -1;
    }
    if (into < 0) {
        status_->setText(tr("Every slot is filled: clear one to keep the prediction."));
        return -1;
    }
    if (!ctrl_.Action_EqPrediction(ctrl_.PresenterSlot(presenter_->currentIndex()), into,
                                   fit_.filters, fit_.rate))
        return -1;
    status_->setText(tr("The prediction is in slot %1.").arg(into));
    return into;
}

} // namespace Kedra::Sonvel::Gui
