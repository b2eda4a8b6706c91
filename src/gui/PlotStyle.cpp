#include "gui/PlotStyle.h"

#include <QFile>
#include <QFileInfo>
#include <QSvgGenerator>

#include <array>

namespace Kedra::Sonvel::Gui {

namespace {
constexpr int MAX_IMAGE_SIDE = 10000;
}

QFont TickFont(const QWidget& plot) {
    QFont f = plot.font();
    f.setPointSizeF(10.0);
    return f;
}

QFont LabelFont(const QWidget& plot) {
    QFont f = plot.font();
    f.setPointSizeF(11.0);
    return f;
}

void StyleAxes(QCustomPlot& plot) {
    for (QCPAxis* axis : {plot.xAxis, plot.yAxis, plot.yAxis2}) {
        axis->setTickLabelFont(TickFont(plot));
        axis->setLabelFont(LabelFont(plot));
        axis->grid()->setPen(QPen(QColor(190, 190, 190), 0, Qt::SolidLine));
        axis->grid()->setSubGridPen(QPen(QColor(225, 225, 225), 0, Qt::SolidLine));
        axis->grid()->setZeroLinePen(Qt::NoPen);
    }
    plot.xAxis->grid()->setSubGridVisible(true);
    plot.yAxis->ticker()->setTickCount(8);
}

namespace {
QColor Blend(const QColor& a, const QColor& b, double share) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * share + b.redF() * (1.0 - share)),
                            static_cast<float>(a.greenF() * share + b.greenF() * (1.0 - share)),
                            static_cast<float>(a.blueF() * share + b.blueF() * (1.0 - share)));
}
} // namespace

void ApplyColours(QCustomPlot& plot, const QColor& foreground, const QColor& background) {
    const QColor fg(foreground.red(), foreground.green(), foreground.blue());
    const QColor bg(background.red(), background.green(), background.blue());
    plot.setBackground(bg);
    plot.axisRect()->setBackground(QBrush(bg));
    for (QCPAxis* axis : {plot.xAxis, plot.yAxis, plot.yAxis2}) {
        axis->setBasePen(QPen(fg, 0));
        axis->setTickPen(QPen(fg, 0));
        axis->setSubTickPen(QPen(fg, 0));
        axis->setTickLabelColor(fg);
        axis->setLabelColor(fg);
        axis->grid()->setPen(QPen(Blend(fg, bg, 0.25), 0, Qt::SolidLine));
        axis->grid()->setSubGridPen(QPen(Blend(fg, bg, 0.1), 0, Qt::SolidLine));
    }
    plot.legend->setTextColor(fg);
}

QCPLayoutGrid* PutLegendAbove(QCustomPlot& plot, QCPLayoutElement* lead) {
    auto* top = new QCPLayoutGrid;
    plot.plotLayout()->insertRow(0);
    plot.plotLayout()->addElement(0, 0, top);
    plot.plotLayout()->setRowStretchFactor(0, 0.001);
    plot.plotLayout()->setRowSpacing(0);
    plot.axisRect()->insetLayout()->take(plot.legend);
    if (lead != nullptr)
        top->addElement(0, 0, lead);
    const int legendColumn = lead != nullptr ? 1 : 0;
    top->addElement(0, legendColumn, plot.legend);
    // The legend keeps its own width; the rest of the row stays empty.
    top->addElement(0, legendColumn + 1, new QCPLayoutElement(&plot));
    top->setColumnStretchFactor(legendColumn, 0.001);
    if (lead != nullptr)
        top->setColumnStretchFactor(0, 0.001);
    top->setMargins(QMargins(0, 4, 0, 0));
    top->setColumnSpacing(16);
    QCPLegend* legend = plot.legend;
    legend->setVisible(true);
    legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
    legend->setWrap(6);
    legend->setBorderPen(Qt::NoPen);
    legend->setBrush(Qt::NoBrush);
    legend->setFont(LabelFont(plot));
    legend->setIconSize(28, 12);
    return top;
}

QCPItemText* AddMessageText(QCustomPlot& plot) {
    auto* message = new QCPItemText(&plot);
    message->position->setType(QCPItemPosition::ptAxisRectRatio);
    message->position->setCoords(0.5, 0.5);
    message->setPositionAlignment(Qt::AlignCenter);
    QFont font = LabelFont(plot);
    font.setPointSizeF(12.0);
    message->setFont(font);
    message->setColor(QColor(90, 90, 90));
    message->setVisible(false);
    return message;
}

QCPItemStraightLine* AddTracer(QCustomPlot& plot) {
    auto* tracer = new QCPItemStraightLine(&plot);
    tracer->setLayer(QStringLiteral("overlay"));
    tracer->setPen(QPen(QColor(80, 80, 80), 1, Qt::DashLine));
    tracer->setVisible(false);
    return tracer;
}

QCPItemText* AddReadoutBox(QCustomPlot& plot) {
    auto* readout = new QCPItemText(&plot);
    readout->setLayer(QStringLiteral("overlay"));
    readout->position->setType(QCPItemPosition::ptAxisRectRatio);
    readout->position->setCoords(0.01, 0.02);
    readout->setPositionAlignment(Qt::AlignLeft | Qt::AlignTop);
    readout->setTextAlignment(Qt::AlignLeft);
    readout->setPadding(QMargins(6, 4, 6, 4));
    readout->setBrush(QColor(255, 255, 255, 225));
    readout->setPen(QPen(QColor(150, 150, 150)));
    readout->setFont(TickFont(plot));
    readout->setVisible(false);
    return readout;
}

QColor RowColour(int row) {
    static const std::array<QColor, 10> colours{
        QColor(20, 20, 20),  QColor(140, 140, 140), QColor(200, 30, 30),  QColor(30, 80, 200),
        QColor(20, 140, 40), QColor(230, 130, 0),   QColor(130, 40, 160), QColor(120, 80, 40),
        QColor(0, 150, 150), QColor(220, 60, 160)};
    return colours[static_cast<std::size_t>(row) % colours.size()];
}

bool SavePlotImage(QCustomPlot& plot, const QString& path, int width, int height, QString* error,
                   const std::function<void()>& beforeDraw) {
    auto fail = [&](const QString& text) {
        if (error != nullptr)
            *error = text;
        return false;
    };
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("png") && suffix != QLatin1String("svg") &&
        suffix != QLatin1String("pdf"))
        return fail(QStringLiteral("unknown image type of '%1': use .png, .svg or .pdf").arg(path));
    if (width <= 0 || height <= 0 || width > MAX_IMAGE_SIDE || height > MAX_IMAGE_SIDE)
        return fail(QStringLiteral("image size %1x%2 is out of range: 1 .. %3 pixels each side")
                        .arg(width)
                        .arg(height)
                        .arg(MAX_IMAGE_SIDE));
    // Append leaves an existing file as it is if the export fails below.
    QFile probe(path);
    const bool existed = probe.exists();
    if (!probe.open(QIODevice::WriteOnly | QIODevice::Append))
        return fail(QStringLiteral("cannot write '%1': %2").arg(path, probe.errorString()));
    probe.close();

    if (beforeDraw)
        beforeDraw();
    bool ok = false;
    if (suffix == QLatin1String("png")) {
        ok = plot.savePng(path, width, height, 1.0, -1, 96);
    } else if (suffix == QLatin1String("pdf")) {
        ok = plot.savePdf(path, width, height);
    } else {
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(QSize(width, height));
        svg.setViewBox(QRect(0, 0, width, height));
        svg.setResolution(96); // one user unit per pixel at the CSS reference resolution
        svg.setTitle(QStringLiteral("Sonvel graph"));
        QCPPainter painter;
        if (painter.begin(&svg)) {
            plot.toPainter(&painter, width, height);
            ok = painter.end();
        }
    }
    if (!ok || QFileInfo(path).size() == 0) {
        if (!existed)
            QFile::remove(path);
        return fail(QStringLiteral("could not write the image '%1'").arg(path));
    }
    return true;
}

} // namespace Kedra::Sonvel::Gui
