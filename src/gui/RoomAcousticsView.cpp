#include "gui/RoomAcousticsView.h"

#include <limits>

#include <QHeaderView>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "analyze/MeasurementViews.h"
#include "gui/PlotStyle.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

namespace {

// A decay curve is smooth after the integration; this many points draw it faithfully.
constexpr int DECAY_POINTS = 2000;
constexpr double DECAY_FLOOR_DB = -70.0;
// Where the noise's share taken out of the integral has cancelled it, what is left is no
// level; a curve is drawn down to here and stops.
constexpr double DECAY_DRAWN_DOWN_TO_DB = -150.0;

struct Column {
    const char* title;
    double Kedra::Measure::RoomParameters::*value;
    int decimals;
    // Why the value is missing, for the reverberation times; whether it is a bound, for the
    // clarities.
    Kedra::Measure::RoomOmissionNote Kedra::Measure::RoomParameters::*note;
    bool Kedra::Measure::RoomParameters::*isBound;
};
using P = Kedra::Measure::RoomParameters;
const Column COLUMNS[] = {
    {"EDT [s]", &P::edt, 2, &P::edtNote, nullptr},
    {"T20 [s]", &P::t20, 2, &P::t20Note, nullptr},
    {"T30 [s]", &P::t30, 2, &P::t30Note, nullptr},
    {"C50 [dB]", &P::c50, 1, nullptr, &P::c50IsBound},
    {"C80 [dB]", &P::c80, 1, nullptr, &P::c80IsBound},
    {"D50 [%]", &P::d50, 1, nullptr, nullptr},
    {"Ts [ms]", &P::ts, 1, nullptr, nullptr},
};

QString BandName(const Kedra::Measure::RoomBandResult& r) {
    return r.midband > 0.0 ? QString::fromStdString(r.name) + QStringLiteral(" Hz")
                           : QStringLiteral("Broadband");
}

} // namespace

RoomAcousticsView::RoomAcousticsView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* split = new QSplitter(Qt::Vertical, this);
    table_ = new QTableWidget(split);
    table_->setObjectName("roomTable");
    table_->setColumnCount(static_cast<int>(std::size(COLUMNS)));
    QStringList headers;
    for (const Column& c : COLUMNS)
        headers << QString::fromLatin1(c.title);
    table_->setHorizontalHeaderLabels(headers);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->setAlternatingRowColors(true);

    plot_ = new QCustomPlot(split);
    plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot_->axisRect()->setRangeZoomFactor(0.85);
    StyleAxes(*plot_);
    QFont titleFont = LabelFont(*plot_);
    titleFont.setBold(true);
    title_ = new QCPTextElement(plot_, QString(), titleFont);
    PutLegendAbove(*plot_, title_);
    plot_->legend->setWrap(9);
    plot_->xAxis->setLabel(QStringLiteral("Time from the start of the sound [ms]"));
    plot_->yAxis->setLabel(QStringLiteral("Decay [dB]"));
    message_ = new QCPItemText(plot_);
    message_->position->setType(QCPItemPosition::ptAxisRectRatio);
    message_->position->setCoords(0.5, 0.5);
    message_->setPositionAlignment(Qt::AlignCenter);
    message_->setFont(LabelFont(*plot_));
    message_->setColor(QColor(90, 90, 90));
    message_->setText(QStringLiteral("No measurement"));
    connect(plot_, &QCustomPlot::mouseDoubleClick, this, [this] { FitAll(); });
    connect(plot_, &QCustomPlot::mouseMove, this, [this](QMouseEvent* event) {
        const double ms = plot_->xAxis->pixelToCoord(event->position().x());
        QString text = QString::number(ms, 'f', 1) + QStringLiteral(" ms");
        for (const auto& r : results_) {
            const auto& d = r.decay;
            const long i = std::lround(ms * d.sampleRate / 1000.0);
            if (i >= 0 && i < static_cast<long>(d.db.size()))
                text += QStringLiteral("  %1: %2 dB")
                            .arg(BandName(r))
                            .arg(d.db[static_cast<std::size_t>(i)], 0, 'f', 1);
        }
        emit cursorText(text);
    });
    split->addWidget(table_);
    split->addWidget(plot_);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    layout->addWidget(split, 1);
    Fill();
}

void RoomAcousticsView::SetSource(const CurveSource& source) {
    results_.clear();
    Kedra::Measure::Measurement* m = source.record;
    if (m != nullptr && m->IsInitialized())
        results_ = Kedra::Measure::RoomAcousticsOf(*m);
    // In dB SPL each band's decay starts at the band's level at the microphone.
    splOffset_.reset();
    if (source.spl)
        splOffset_ = source.splOffsetDb;
    else if (m != nullptr && m->HasSpl())
        splOffset_ = m->GetSplOffset();
    plot_->yAxis->setLabel(splOffset_ ? QStringLiteral("Decay [dB SPL]")
                                      : QStringLiteral("Decay [dB]"));
    title_->setText(m != nullptr && m->IsInitialized() ? source.label : QString());
    Fill();
}

void RoomAcousticsView::Fill() {
    table_->setRowCount(static_cast<int>(results_.size()));
    QStringList rows;
    for (std::size_t r = 0; r < results_.size(); ++r) {
        rows << BandName(results_[r]);
        for (std::size_t c = 0; c < std::size(COLUMNS); ++c) {
            const Column& column = COLUMNS[c];
            const P& p = results_[r].parameters;
            const double v = p.*column.value;
            const bool bound = column.isBound != nullptr && p.*column.isBound && std::isfinite(v);
            QString text =
                std::isfinite(v) ? QString::number(v, 'f', column.decimals) : QStringLiteral("-");
            QString tip;
            if (bound) {
                text = QStringLiteral("> ") + text;
                tip = tr("The late energy lies under the noise: at least %1 dB").arg(v, 0, 'f', 1);
            } else if (column.note != nullptr &&
                       (p.*column.note).why != Kedra::Measure::RoomOmission::None) {
                tip = QString::fromStdString(Kedra::Measure::RoomOmissionText(p.*column.note));
                tip[0] = tip[0].toUpper();
            }
            auto* item = new QTableWidgetItem(text);
            item->setToolTip(tip);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table_->setItem(static_cast<int>(r), static_cast<int>(c), item);
        }
    }
    table_->setVerticalHeaderLabels(rows);

    plot_->clearGraphs();
    for (std::size_t r = 0; r < results_.size(); ++r) {
        const auto& d = results_[r].decay;
        const int n = static_cast<int>(d.db.size());
        if (n < 2)
            continue;
        const int step = std::max(1, n / DECAY_POINTS);
        QVector<QCPGraphData> points;
        points.reserve(n / step + 2);
        int drawn = n;
        for (int i = 0; i < n; ++i)
            if (!(d.db[static_cast<std::size_t>(i)] >= DECAY_DRAWN_DOWN_TO_DB)) {
                drawn = i;
                break;
            }
        if (drawn < 2)
            continue;
        const double shift = splOffset_ ? results_[r].decay.startDb + *splOffset_ : 0.0;
        for (int i = 0; i < drawn; i += step)
            points.append(
                QCPGraphData(i * 1000.0 / d.sampleRate, d.db[static_cast<std::size_t>(i)] + shift));
        points.append(QCPGraphData((drawn - 1) * 1000.0 / d.sampleRate,
                                   d.db[static_cast<std::size_t>(drawn - 1)] + shift));
        QCPGraph* g = plot_->addGraph();
        g->data()->set(points, true);
        const bool broadband = results_[r].midband <= 0.0;
        g->setPen(QPen(broadband ? QColor(20, 20, 20) : RowColour(static_cast<int>(r) + 2),
                       broadband ? 2.5 : 1.5));
        g->setName(BandName(results_[r]));
    }
    message_->setText(results_.empty() ? QStringLiteral("No measurement") : QString());
    message_->setVisible(results_.empty());
    plot_->legend->setVisible(plot_->legend->itemCount() > 0);
    FitAll();
}

void RoomAcousticsView::FitAll() {
    // Every drawn point: a decay that falls far below the usual floor shows whole.
    double end = 100.0;
    // In dB SPL the curves lie where their bands' levels put them.
    double low = splOffset_ ? std::numeric_limits<double>::infinity() : DECAY_FLOOR_DB;
    double high = splOffset_ ? -std::numeric_limits<double>::infinity() : 0.0;
    for (int g = 0; g < plot_->graphCount(); ++g)
        for (const QCPGraphData& d : *plot_->graph(g)->data())
            if (std::isfinite(d.value)) {
                end = std::max(end, d.key);
                low = std::min(low, d.value);
                high = std::max(high, d.value);
            }
    plot_->xAxis->setRange(0.0, end * 1.02);
    if (high >= low)
        plot_->yAxis->setRange(std::floor(low / 10.0) * 10.0, std::ceil(high) + 3.0);
    plot_->replot(QCustomPlot::rpQueuedReplot);
}

bool RoomAcousticsView::SaveImage(const QString& path, int width, int height, QString* error) {
    return SavePlotImage(*plot_, path, width, height, error);
}

} // namespace Kedra::Sonvel::Gui
