#include "gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <numeric>
#include <thread>

#include "app/MainCtrl.h"
#include "app/Options.h"
#include "exchange/WaveFile.h"
#include "foundation/KedraLogger.h"
#include "gui/AverageDialog.h"
#include "gui/CheckedSpinBox.h"
#include "gui/DeviceReportDialog.h"
#include "gui/EqTab.h"
#include "gui/ExportDialog.h"
#include "gui/FixedPitchFont.h"
#include "gui/GuiFrontEnd.h"
#include "gui/LevelMeterWindow.h"
#include "gui/LoopbackDialog.h"
#include "gui/MeasurementTableModel.h"
#include "gui/OptionsDialog.h"
#include "gui/PresenterPanel.h"
#include "gui/RemoteControl.h"
#include "gui/RtaWindow.h"
#include "gui/SoundLevelMeterWindow.h"
#include "gui/SplDialog.h"
#include "gui/TransferFunctionWindow.h"
#include "gui/ViewTabs.h"
#include "measure/Measurement.h"
#include "measure/MeasurementFile.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Measure::Measurement;

namespace {

constexpr int MAX_RECENT = 8;
const GraphKind KINDS[] = {GraphKind::Response, GraphKind::Impulse, GraphKind::Distortion};

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// Asks for an image's width and height, `size` proposed; false when cancelled.
bool AskImageSize(QWidget* parent, QSize& size) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QObject::tr("Image size"));
    auto* form = new QFormLayout(&dialog);
    auto side = [&](int value) {
        auto* box = new QSpinBox(&dialog);
        box->setRange(16, 10000);
        box->setSuffix(QObject::tr(" px"));
        box->setValue(value);
        return box;
    };
    QSpinBox* width = side(size.width());
    QSpinBox* height = side(size.height());
    form->addRow(QObject::tr("Width:"), width);
    form->addRow(QObject::tr("Height:"), height);
    form->addRow(new QLabel(QObject::tr("Proposed: the size on screen"), &dialog));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    size = QSize(width->value(), height->value());
    return true;
}

} // namespace

// The worker: a plain thread, so that the hand-over (join) is a synchronisation that
// ThreadSanitizer sees.
class MeasureThread {
public:
    template <class F>
    explicit MeasureThread(F&& f) : thread_(std::forward<F>(f)) {}
    ~MeasureThread() {
        if (thread_.joinable())
            thread_.join();
    }
    void Join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::thread thread_;
};

MainWindow::MainWindow(MainCtrl& ctrl, GuiFrontEnd& front, QWidget* parent)
    : QMainWindow(parent), ctrl_(ctrl), front_(front) {
    setWindowTitle(tr("Sonvel"));
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    front_.SetDialogParent(this);
    BuildGraphs();
    BuildDocks();
    BuildActions();
    setAcceptDrops(true);
    ctrl_.Audio().NotifyCalibration();

    connect(&front_, &GuiFrontEnd::listChanged, this, [this] {
        model_->Refresh();
        for (PresenterPanel* p : panels_)
            p->Refresh();
        // A slot no presenter shows (imported into, renamed, emptied) is drawn anew once the
        // controller is done; a presenter's slot is redrawn at presenterChanged, which
        // follows, and then nothing is left to do here.
        if (!redrawQueued_) {
            redrawQueued_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    redrawQueued_ = false;
                    RedrawIfChanged();
                },
                Qt::QueuedConnection);
        }
    });
    connect(&front_, &GuiFrontEnd::curvesChanged, this, [this] {
        model_->Refresh();
        for (PresenterPanel* p : panels_)
            p->Refresh();
        RedrawIfChanged();
    });
    connect(&front_, &GuiFrontEnd::presenterChanged, this, [this](int p) {
        if (p >= 0 && p < 3) {
            panels_[static_cast<std::size_t>(p)]->Refresh();
            RedrawAll();
        }
    });
    connect(&front_, &GuiFrontEnd::viewChanged, this, [this](int slot) { RedrawSlot(slot); });
    connect(&front_, &GuiFrontEnd::presenterShown, this, [this](int p) {
        if (p >= 0 && p < 3)
            panels_[static_cast<std::size_t>(p)]->Refresh();
        RedrawIfChanged();
    });
    connect(&front_, &GuiFrontEnd::progressBegun, this, [this](const QString& title) {
        progress_->setVisible(true);
        cancel_->setVisible(true);
        progressTitle_ = title;
        ShowProgressText(title);
    });
    connect(&front_, &GuiFrontEnd::progressStepped, this,
            [this](const QString& text, double fraction) {
                if (fraction >= 0.0) {
                    progress_->setRange(0, 1000);
                    progress_->setValue(static_cast<int>(fraction * 1000.0));
                }
                // The recording's one-character marks only say that it goes on.
                if (text.size() > 1)
                    ShowProgressText(progressTitle_.isEmpty() || text == progressTitle_
                                         ? text
                                         : progressTitle_ + QStringLiteral(": ") + text);
            });
    connect(&front_, &GuiFrontEnd::statusReported, this, [this](const QString& text) {
        lastStatus_ = text;
        ShowDone(text);
    });
    connect(&front_, &GuiFrontEnd::progressEnded, this, [this] {
        progressTitle_.clear();
        if (!Measuring()) {
            progress_->setVisible(false);
            cancel_->setVisible(false);
        }
    });
    connect(&front_, &GuiFrontEnd::amplitudeJudged, this,
            [this](bool accepted, double db, const QString& colour, const QString& text) {
                verdict_->setText(tr("Peak %1 dB (factor %2)%3")
                                      .arg(db, 0, 'f', 2)
                                      .arg(std::pow(10.0, db / 20.0), 0, 'f', 3)
                                      .arg(accepted ? QString() : tr(" (rejected)")));
                verdict_->setToolTip(text);
                verdict_->setStyleSheet(colour.isEmpty()
                                            ? QString()
                                            : QString("QLabel { background: %1; color: white; "
                                                      "padding: 0 6px; }")
                                                  .arg(colour));
                verdict_->setVisible(true);
            });

    RestoreWindowOptions();
    RedrawAll();
    const Conf::WindowOptions& w = Conf::Options::Field.Window;
    if (w.ImpulseTimeMaxMs > w.ImpulseTimeMinMs)
        Graph(GraphKind::Impulse)->xAxis->setRange(w.ImpulseTimeMinMs, w.ImpulseTimeMaxMs);
}

MainWindow::~MainWindow() {
    remote_->Stop();
    if (worker_ != nullptr) {
        ctrl_.Audio().GetResponse().Abort();
        front_.Cancel();
        worker_->Join();
        delete worker_;
        worker_ = nullptr;
    }
    front_.SetDialogParent(nullptr);
}

void MainWindow::BuildGraphs() {
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(true);
    const char* titles[] = {"Frequency response", "Impulse response", "Distortion"};
    for (int i = 0; i < 3; ++i) {
        auto* page = new QWidget(tabs_);
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(4, 4, 4, 4);
        layout->setSpacing(2);
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        auto* graph = new GraphView(KINDS[i], page);
        graphs_[static_cast<std::size_t>(i)] = graph;
        GraphSettings s = WithPlotOptions(graph->Settings());
        graph->SetSettings(s);
        const auto change = [graph](auto edit) {
            GraphSettings settings = graph->Settings();
            edit(settings);
            graph->SetSettings(settings);
            graph->replot();
        };
        if (KINDS[i] == GraphKind::Response) {
            auto* magnitude = new QCheckBox(tr("Magnitude"), page);
            auto* phase = new QCheckBox(tr("Phase"), page);
            magnitude->setObjectName("showMagnitude");
            phase->setObjectName("showPhase");
            magnitude->setChecked(s.showMagnitude);
            phase->setChecked(s.showPhase);
            connect(magnitude, &QCheckBox::toggled, this, [change](bool on) {
                change([on](GraphSettings& g) { g.showMagnitude = on; });
                Conf::Options::Field.Plot.PlotAmplitude = on;
            });
            connect(phase, &QCheckBox::toggled, this, [change](bool on) {
                change([on](GraphSettings& g) { g.showPhase = on; });
                Conf::Options::Field.Plot.PlotPhase = on;
            });
            row->addWidget(magnitude);
            row->addWidget(phase);
            magnitudeBox_ = magnitude;
            phaseBox_ = phase;
        } else {
            if (KINDS[i] == GraphKind::Impulse) {
                auto* mode = new QComboBox(page);
                mode->setObjectName("impulseMode");
                mode->addItem(tr("Linear"), static_cast<int>(Conf::ImpulseGraphMode::Linear));
                mode->addItem(tr("dB envelope"), static_cast<int>(Conf::ImpulseGraphMode::Db));
                mode->addItem(tr("Step response"), static_cast<int>(Conf::ImpulseGraphMode::Step));
                mode->setCurrentIndex(mode->findData(Conf::Options::Field.Plot.ImpulseGraphMode));
                connect(mode, &QComboBox::activated, this, [graph, mode](int item) {
                    Conf::Options::Field.Plot.ImpulseGraphMode = mode->itemData(item).toInt();
                    graph->SetSettings(WithPlotOptions(graph->Settings()));
                    graph->FitAll();
                    graph->replot();
                });
                impulseModeBox_ = mode;
                row->addWidget(new QLabel(tr("View"), page));
                row->addWidget(mode);
            }
            auto* focus = new QComboBox(page);
            for (int p = 0; p < 3; ++p)
                focus->addItem(QString(QChar('A' + p)));
            connect(focus, &QComboBox::activated, this, [this, change](int item) {
                change([this, item](GraphSettings& g) {
                    g.focusPresenter = item;
                    g.focusSlot = ctrl_.PresenterSlot(item);
                });
            });
            row->addWidget(new QLabel(
                KINDS[i] == GraphKind::Impulse ? tr("Window of") : tr("Measurement"), page));
            row->addWidget(focus);
            if (KINDS[i] == GraphKind::Distortion) {
                auto* rows = new CheckedSpinBox(2, 12, 0, QString(), page);
                rows->setObjectName("distortionRows");
                rows->setValue(s.distortionRows);
                rows->setToolTip(tr("THD, noise and the harmonics up to this many rows (2 .. 12)"));
                connect(rows, &CheckedSpinBox::accepted, this, [change](double n) {
                    change([n](GraphSettings& g) { g.distortionRows = static_cast<int>(n); });
                });
                row->addWidget(new QLabel(tr("Rows"), page));
                row->addWidget(rows);
                auto* refused = RefusalLabel(page);
                connect(rows, &CheckedSpinBox::refusalChanged, refused, &QLabel::setText);
                row->addWidget(refused);
            }
        }
        row->addStretch(1);
        auto* fit = new QPushButton(tr("Fit"), page);
        fit->setToolTip(tr("Fit the axes to the curves (double click on the graph)"));
        connect(fit, &QPushButton::clicked, graph, [graph] {
            graph->FitAll();
            graph->replot();
        });
        row->addWidget(fit);
        layout->addLayout(row);
        layout->addWidget(graph, 1);
        tabs_->addTab(page, tr(titles[i]));

        connect(graph, &GraphView::cursorText, this,
                [this](const QString& text) { readout_->setText(text); });
        connect(graph, &GraphView::windowEdgeMoved, this, [this](int p, bool start, int samples) {
            Measurement* m = ctrl_.Presenter(p);
            if (m == nullptr || !m->IsInitialized())
                return;
            if (start)
                m->SetImpulseWindowStart(samples, true);
            else
                m->SetImpulseWindowEnd(samples);
            panels_[static_cast<std::size_t>(p)]->Refresh();
            RedrawPresenter(p);
        });
    }
    views_ = new ViewTabs(tabs_, this);
    tabs_->addTab(new EqTab(ctrl_, tabs_), tr("EQ"));
    connect(views_, &ViewTabs::cursorText, this,
            [this](const QString& text) { readout_->setText(text); });
    setCentralWidget(tabs_);
    connect(tabs_, &QTabWidget::currentChanged, this,
            [this](int tab) { Conf::Options::Field.Window.GraphTab = tab; });
}

void MainWindow::BuildDocks() {
    auto* presenters = new QWidget(this);
    auto* column = new QVBoxLayout(presenters);
    column->setContentsMargins(4, 4, 4, 4);
    for (int p = 0; p < 3; ++p) {
        auto* panel = new PresenterPanel(ctrl_, p, PresenterColour(p), presenters);
        panels_[static_cast<std::size_t>(p)] = panel;
        column->addWidget(panel);
        connect(panel, &PresenterPanel::slotChosen, this, [this](int presenter) {
            model_->Refresh();
            views_->ShowRoomOf(presenter);
        });
        connect(panel, &PresenterPanel::viewEdited, this, [this](int presenter) {
            model_->Refresh();
            RedrawPresenter(presenter);
        });
    }
    // The fourth presenter: the test signal, drawn only when asked for.
    // One line, no frame: the dock keeps room for it beside three full panels.
    auto* signal = new QWidget(presenters);
    auto* signalRow = new QHBoxLayout(signal);
    signalRow->setContentsMargins(8, 2, 8, 2);
    signalBox_ = new QCheckBox(QStringLiteral("S"), signal);
    signalBox_->setObjectName("showSignal");
    QFont bold = signalBox_->font();
    bold.setBold(true);
    signalBox_->setFont(bold);
    signalBox_->setToolTip(tr("The current test signal: its spectrum on the response graph and "
                              "its waveform on the impulse graph"));
    signalRow->addWidget(signalBox_);
    signalRow->addWidget(new QLabel(tr("Test signal: spectrum and waveform"), signal), 1);
    column->addWidget(signal);
    connect(signalBox_, &QCheckBox::toggled, this, [this] { RedrawAll(); });
    column->addStretch(1);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(presenters);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* presenterDock = new QDockWidget(tr("Presenters"), this);
    presenterDock->setObjectName("PresenterDock");
    presenterDock->setWidget(scroll);
    presenterDock->setMinimumWidth(presenters->sizeHint().width() + 24);
    addDockWidget(Qt::RightDockWidgetArea, presenterDock);

    model_ = new MeasurementTableModel(ctrl_, this);
    listView_ = new QTableView(this);
    listView_->setModel(model_);
    listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Several rows for an average; single-slot actions take the first.
    listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    listView_->setDragEnabled(true);
    listView_->setDragDropMode(QAbstractItemView::DragOnly);
    listView_->setEditTriggers(QAbstractItemView::EditKeyPressed |
                               QAbstractItemView::SelectedClicked);
    listView_->verticalHeader()->setVisible(false);
    listView_->verticalHeader()->setDefaultSectionSize(listView_->fontMetrics().height() + 6);
    listView_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    listView_->horizontalHeader()->setSectionResizeMode(MeasurementTableModel::Label,
                                                        QHeaderView::Stretch);
    listView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(listView_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.column() == MeasurementTableModel::Colour)
            ChooseSlotColour(index.row());
        else if (index.column() != MeasurementTableModel::Shown)
            ShowInfo(index.row());
    });
    connect(listView_, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = listView_->indexAt(at);
        if (!index.isValid())
            return;
        const int slot = index.row();
        QMenu menu(this);
        menu.addAction(tr("Rename"), this, [this, index] {
            listView_->edit(model_->index(index.row(), MeasurementTableModel::Label));
        });
        menu.addAction(tr("Delete"), this, [this, slot] { ctrl_.Action_ClearSlot(slot); });
        menu.addSeparator();
        const bool filled = ctrl_.List().No(slot)->IsInitialized();
        menu.addAction(tr("Colour..."), this, [this, slot] { ChooseSlotColour(slot); })
            ->setEnabled(filled);
        menu.addAction(tr("Show only this"), this, [this, slot] { ctrl_.SetShownSlots({slot}); })
            ->setEnabled(filled);
        menu.addAction(tr("Show all"), this, [this] {
            std::vector<int> all(static_cast<std::size_t>(ctrl_.List().GetSize()));
            std::iota(all.begin(), all.end(), 0);
            ctrl_.SetShownSlots(all);
        });
        menu.addAction(tr("Hide all"), this, [this] { ctrl_.SetShownSlots({}); });
        menu.addSeparator();
        for (int p = 0; p < 3; ++p)
            menu.addAction(tr("Show in %1").arg(QChar('A' + p)), this,
                           [this, p, slot] { ctrl_.SetPresenterSlot(p, slot); });
        menu.addSeparator();
        menu.addAction(tr("Info..."), this, [this, slot] { ShowInfo(slot); });
        menu.exec(listView_->viewport()->mapToGlobal(at));
    });
    auto* listDock = new QDockWidget(tr("Measurements"), this);
    listDock->setObjectName("ListDock");
    listDock->setWidget(listView_);
    addDockWidget(Qt::BottomDockWidgetArea, listDock);
    resizeDocks({listDock}, {180}, Qt::Vertical);

    readout_ = new QLabel(this);
    readout_->setMinimumWidth(320);
    status_ = new QLabel(this);
    verdict_ = new QLabel(this);
    verdict_->setObjectName("verdict");
    verdict_->setVisible(false);
    inputLevel_ = new QLabel(this);
    inputLevel_->setObjectName("inputLevel");
    inputLevel_->setToolTip(tr("The level arriving on the measured input"));
    // Room for the longest text, so that the status line does not shift as it changes.
    inputLevel_->setMinimumWidth(
        inputLevel_->fontMetrics().horizontalAdvance(tr("Input: -100.0 dBFS")) + 8);
    inputLevel_->setVisible(false);
    connect(&front_, &GuiFrontEnd::inputLevel, this, [this](double db) {
        if (!Measuring())
            return;
        inputLevel_->setText(std::isfinite(db) ? tr("Input: %1 dBFS").arg(db, 0, 'f', 1)
                                               : tr("Input: no signal"));
        inputLevel_->setVisible(true);
    });
    progress_ = new QProgressBar(this);
    progress_->setRange(0, 0);
    progress_->setMaximumWidth(160);
    progress_->setVisible(false);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setVisible(false);
    connect(cancel_, &QPushButton::clicked, this, &MainWindow::CancelMeasurement);
    statusBar()->addWidget(status_, 1);
    statusBar()->addPermanentWidget(verdict_);
    statusBar()->addPermanentWidget(inputLevel_);
    statusBar()->addPermanentWidget(progress_);
    statusBar()->addPermanentWidget(cancel_);
    statusBar()->addPermanentWidget(readout_);

    remote_ = new RemoteControl(*this, ctrl_, front_, this);
    remoteLabel_ = new QLabel(this);
    remoteLabel_->setObjectName("remote");
    remoteLabel_->setVisible(false);
    statusBar()->addPermanentWidget(remoteLabel_);
    connect(remote_, &RemoteControl::switched, this, [this](bool on) {
        remoteLabel_->setText(tr("Remote: %1").arg(remote_->Address()));
        remoteLabel_->setToolTip(tr("Programs on this computer drive Sonvel here; the API is "
                                    "described at %1/openapi.json")
                                     .arg(remote_->Address()));
        remoteLabel_->setVisible(on);
        const QSignalBlocker block(remoteAction_);
        remoteAction_->setChecked(on);
    });
}

void MainWindow::SwitchRemoteControl(bool on) {
    if (on) {
        StartRemoteControl(Conf::Options::Field.Window.RemotePort);
        return;
    }
    remote_->Stop();
    ShowDone(tr("Remote control off"));
}

bool MainWindow::StartRemoteControl(int port, QString* reason) {
    const RemoteSettings settings{"127.0.0.1", port, {}, Conf::UserDirectory()};
    QString why;
    if (remote_->Start(settings, &why) < 0) {
        if (reason != nullptr)
            *reason = why;
        const QSignalBlocker block(remoteAction_);
        remoteAction_->setChecked(false);
        front_.ShowMessage(MessageKind::Warning, "Remote control",
                           "The remote control could not start: " + why.toStdString() +
                               ". Choose another port in Tools > Options > Misc, or stop the "
                               "program that uses this one.");
        return false;
    }
    ShowDone(tr("Remote control on %1").arg(remote_->Address()));
    return true;
}

void MainWindow::BuildActions() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    const QString openFilter = tr("Kedra Respons package (*.zip);;Obsolete Kedra Binary Responses "
                                  "file (*.kdr);;All Files (*)");
    const QString saveFilter = tr("Kedra Response package (*.zip);;All Files (*)");
    file->addAction(tr("&Open..."), QKeySequence::Open, this, [this, openFilter] {
        const QString path =
            QFileDialog::getOpenFileName(this, tr("Load responses"), QString(), openFilter);
        if (!path.isEmpty())
            OpenPackage(path, false);
    });
    file->addAction(tr("Open and &append..."), this, [this, openFilter] {
        const QString path =
            QFileDialog::getOpenFileName(this, tr("Load responses"), QString(), openFilter);
        if (!path.isEmpty())
            OpenPackage(path, true);
    });
    recentMenu_ = file->addMenu(tr("Open &recent"));
    RebuildRecentMenu();
    file->addSeparator();
    file->addAction(tr("&Save"), QKeySequence::Save, this, [this, saveFilter] {
        QString path = packagePath_;
        if (path.isEmpty())
            path = QFileDialog::getSaveFileName(this, tr("Save responses as package"), QString(),
                                                saveFilter);
        if (!path.isEmpty())
            SavePackage(path);
    });
    file->addAction(tr("Save &as..."), QKeySequence::SaveAs, this, [this, saveFilter] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Save responses as package"),
                                                          packagePath_, saveFilter);
        if (!path.isEmpty())
            SavePackage(path);
    });
    file->addAction(tr("Save with &wave data..."), this, [this, saveFilter] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Save responses as package"),
                                                          packagePath_, saveFilter);
        if (!path.isEmpty() && ctrl_.Action_SaveFile(path.toStdString(), true))
            ShowDone(tr("Saved %1").arg(path));
    });
    file->addSeparator();
    file->addAction(tr("Import &response..."), this, [this] { ImportInto(false); });
    file->addAction(tr("Import &impulse..."), this, [this] { ImportInto(true); });
    QMenu* exportMenu = file->addMenu(tr("&Export"));
    exportMenu->addAction(tr("Response (text)..."), this, [this] { ExportSlot("response"); });
    exportMenu->addAction(tr("Impulse (text)..."), this, [this] { ExportSlot("impulse"); });
    exportMenu->addAction(tr("Impulse (wave)..."), this, [this] { ExportSlot("wave"); });
    exportMenu->addAction(tr("Distortion (text)..."), this, [this] { ExportSlot("distortion"); });
    exportMenu->addAction(tr("Response as calibration file..."), this,
                          [this] { ExportSlot("cal"); });
    file->addAction(tr("Export &graph..."), QKeySequence(tr("Ctrl+E")), this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, tr("Export graph"), QString(),
            tr("PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)"));
        if (path.isEmpty())
            return;
        const QWidget* g = CurrentGraph() != nullptr ? CurrentGraph() : tabs_->currentWidget();
        QSize size = g->size();
        if (!AskImageSize(this, size))
            return;
        QString error;
        if (!ExportGraph(path, size.width(), size.height(), &error))
            front_.ShowMessage(MessageKind::Error, "Sonvel Warning", error.toStdString());
        else
            ShowDone(tr("Exported the graph to %1").arg(path));
    });
    file->addSeparator();
    QMenu* options = file->addMenu(tr("Op&tions file"));
    options->addAction(tr("&Load options..."), this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Load Options"), QString(),
                                                          tr("XML (*.xml);;All Files (*)"));
        if (!path.isEmpty() && ctrl_.Action_OptionsLoad(path.toStdString()))
            OptionsChanged();
    });
    options->addAction(tr("&Save options as..."), this, [this] {
        StoreWindowOptions();
        const QString path = QFileDialog::getSaveFileName(
            this, tr("Save Options to file"), QString(), tr("XML (*.xml);;All Files (*)"));
        if (!path.isEmpty())
            ctrl_.Action_OptionsSave(path.toStdString());
    });
    options->addAction(tr("&Reset all options..."), this, [this] {
        if (front_.AskOkCancel("Sonvel", "Set every option back to its default?")) {
            ctrl_.Action_OptionsReset();
            OptionsChanged();
        }
    });
    file->addSeparator();
    file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    // Ctrl+C stays with the list and the fields; Ctrl+Shift+C copies the whole graph.
    edit->addAction(tr("Copy &graph"), QKeySequence(tr("Ctrl+Shift+C")), this,
                    [this] { Action_ToClipBoard(); });
    edit->addSeparator();
    edit->addAction(tr("&Compact the list"), this, [this] {
        if (!RefusedWhileMeasuring("compact the list"))
            ctrl_.Action_Rearange();
    });
    edit->addAction(tr("Clear &all measurements..."), this, [this] {
        if (!RefusedWhileMeasuring("clear the list") &&
            front_.AskOkCancel("Sonvel", "Remove every measurement from the list?"))
            ctrl_.Action_ClearMeasurements();
    });

    QMenu* measure = menuBar()->addMenu(tr("&Measure"));
    QToolBar* bar = addToolBar(tr("Measure"));
    bar->setObjectName("MeasureToolBar");
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    const QKeySequence keys[] = {QKeySequence(Qt::Key_F5), QKeySequence(Qt::Key_F6),
                                 QKeySequence(Qt::Key_F7)};
    for (int p = 0; p < 3; ++p) {
        QAction* a = measure->addAction(tr("Measure into &%1").arg(QChar('A' + p)), this,
                                        [this, p] { StartMeasurement(p); });
        a->setShortcut(keys[p]);
        a->setIconText(tr("Measure %1").arg(QChar('A' + p)));
        a->setToolTip(tr("Measure into %1 (%2)").arg(QChar('A' + p)).arg(keys[p].toString()));
        bar->addAction(a);
        measureActions_[static_cast<std::size_t>(p)] = a;
    }
    stopAction_ = measure->addAction(tr("&Stop"), this, &MainWindow::CancelMeasurement);
    stopAction_->setShortcut(QKeySequence(Qt::Key_Escape));
    stopAction_->setEnabled(false);
    bar->addAction(stopAction_);
    measure->addSeparator();
    lockAction_ = measure->addAction(tr("&Lock the time zero"));
    lockAction_->setCheckable(true);
    lockAction_->setEnabled(false);
    lockAction_->setToolTip(tr("Later measurements take the time zero of the last one"));
    connect(lockAction_, &QAction::triggered, this, [this](bool on) {
        if (!ctrl_.SetTimeZeroLock(on))
            lockAction_->setChecked(false);
    });
    connect(this, &MainWindow::measurementFinished, this,
            [this] { lockAction_->setEnabled(ctrl_.TimeZeroLockUsable()); });
    measure->addAction(tr("&Analyse a recording..."), this, [this] { AnalyseRecording(); });
    measure->addAction(tr("Save the test &signal as wave..."), this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Save the test signal"),
                                                          QString(), tr("Wave (*.wav)"));
        if (!path.isEmpty())
            SaveTestSignal(path);
    });

    calibrationMenu_ = menuBar()->addMenu(tr("&Calibration"));
    BuildCalibrationMenu();
    operationsMenu_ = menuBar()->addMenu(tr("&Operations"));
    BuildOperationsMenu();

    QMenu* view = menuBar()->addMenu(tr("&View"));
    for (int i = 0; i < tabs_->count(); ++i)
        view->addAction(tabs_->tabText(i), QKeySequence(QString("Ctrl+%1").arg(i + 1)), this,
                        [this, i] { tabs_->setCurrentIndex(i); });
    view->addAction(tr("&Next graph"), QKeySequence(tr("Ctrl+PgDown")), this, [this] {
        tabs_->setCurrentIndex((tabs_->currentIndex() + 1) % tabs_->count());
    });
    view->addAction(tr("&Previous graph"), QKeySequence(tr("Ctrl+PgUp")), this, [this] {
        tabs_->setCurrentIndex((tabs_->currentIndex() + tabs_->count() - 1) % tabs_->count());
    });
    view->addAction(tr("&Fit graph"), QKeySequence(tr("Ctrl+0")), this, [this] {
        if (GraphView* g = CurrentGraph()) {
            g->FitAll();
            g->replot();
        } else {
            views_->Fit(tabs_->currentWidget());
        }
    });
    view->addSeparator();
    for (QDockWidget* dock : findChildren<QDockWidget*>())
        view->addAction(dock->toggleViewAction());

    // The instruments that listen to the input as it comes, beside the sweep.
    liveMenu_ = menuBar()->addMenu(tr("&Live"));
    liveMenu_->addAction(tr("&Level meter..."), this,
                         [this] { LevelMeterWindow::Open(ctrl_, front_, *this); });
    liveMenu_->addAction(tr("&Sound level meter..."), this,
                         [this] { SoundLevelMeterWindow::Open(ctrl_, front_, *this); });
    liveMenu_->addAction(tr("&RTA..."), this, [this] { RtaWindow::Open(ctrl_, front_, *this); });
    liveMenu_->addAction(tr("&Transfer function..."), this,
                         [this] { TransferFunctionWindow::Open(ctrl_, front_, *this); });

    toolsMenu_ = menuBar()->addMenu(tr("&Tools"));
    toolsMenu_->addAction(tr("&Device report..."), this,
                          [this] { DeviceReportDialog::Open(this); });
    remoteAction_ = toolsMenu_->addAction(tr("&Remote control"));
    remoteAction_->setCheckable(true);
    remoteAction_->setToolTip(tr("Lets programs on this computer read and measure through the "
                                 "HTTP API (127.0.0.1 only)"));
    connect(remoteAction_, &QAction::toggled, this, &MainWindow::SwitchRemoteControl);
    toolsMenu_->addSeparator();
    QAction* optionsAction = toolsMenu_->addAction(tr("&Options..."), this, [this] {
        OptionsDialog dialog(
            ctrl_, [this] { return Measuring(); }, this);
        connect(&dialog, &OptionsDialog::applied, this, &MainWindow::OptionsChanged);
        dialog.exec();
    });
    // Qt knows no preferences key on Linux desktops; Ctrl+, is the one users expect.
    optionsAction->setShortcut(QKeySequence(tr("Ctrl+,")));

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&Change log"), this,
                    [this] { ShowDocument(QString::fromLatin1(CHANGELOG), tr("Change log")); });
    help->addAction(tr("&Known issues"), this,
                    [this] { ShowDocument(QString::fromLatin1(ISSUES), tr("Known issues")); });
    help->addSeparator();
    help->addAction(tr("&About Sonvel"), this, [this] {
        QMessageBox::about(
            this, tr("About Sonvel"),
            tr("<b>Sonvel %1</b><p>Acoustic impulse and frequency response measurement.</p>"
               "<p>Licensed under the GNU General Public License, version 3 or later.</p>"
               "<p>User directory: %2</p><p>Log file: %3</p>")
                .arg(Q(Conf::Options::ProgramVersion()))
                .arg(Q(Conf::UserDirectory().string()).toHtmlEscaped())
                .arg(Q(Kedra::Logging::KedraLogger::FileName()).toHtmlEscaped()));
    });
}

QColor MainWindow::PresenterColour(int presenter) const {
    const Conf::Color c = ctrl_.SlotColour(ctrl_.PresenterSlot(presenter));
    return QColor(c.R, c.G, c.B);
}

std::vector<CurveSource> MainWindow::Curves() const {
    // A's, B's and C's first, as the panels stand, then the other shown slots in their order.
    std::vector<int> order;
    for (int p = 0; p < 3; ++p)
        order.push_back(ctrl_.PresenterSlot(p));
    const std::vector<int> shown = ctrl_.ShownSlots();
    order.insert(order.end(), shown.begin(), shown.end());
    std::vector<CurveSource> curves;
    for (int slot : order) {
        Measurement* m = ctrl_.List().No(slot);
        if (m == nullptr || !m->IsInitialized() || !ctrl_.SlotShown(slot) ||
            std::any_of(curves.begin(), curves.end(),
                        [slot](const CurveSource& c) { return c.slot == slot; }))
            continue;
        int presenter = -1;
        QString who;
        for (int p = 2; p >= 0; --p)
            if (ctrl_.PresenterSlot(p) == slot) {
                presenter = p;
                who.prepend(QChar('A' + p));
            }
        if (who.isEmpty())
            who = QString::number(slot);
        const Conf::Color c = ctrl_.SlotColour(slot);
        curves.push_back({m, presenter, slot, QColor(c.R, c.G, c.B),
                          who + QStringLiteral(": ") + Q(m->GetLabel())});
    }
    return curves;
}

namespace {

QString Signature(const std::vector<CurveSource>& curves) {
    QString text;
    for (const CurveSource& c : curves)
        text += QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                    .arg(c.slot)
                    .arg(c.presenter)
                    .arg(reinterpret_cast<quintptr>(c.record))
                    .arg(c.record->GetDataGeneration())
                    .arg(c.colour.rgb())
                    .arg(c.label);
    return text;
}

} // namespace

void MainWindow::RedrawIfChanged() {
    if (Signature(Curves()) != drawn_)
        RedrawAll();
}

void MainWindow::RedrawAll() {
    const std::vector<CurveSource> curves = Curves();
    drawn_ = Signature(curves);
    std::vector<CurveSource> withSignal = curves;
    // The running measurement owns the generators: the signal drawn last stays until then.
    Measurement* signal = signalBox_->isChecked() ? ctrl_.SignalMeasurement(!Measuring()) : nullptr;
    if (signal != nullptr) {
        const Conf::Color c = Conf::Options::Field.Plot.ColorSignal;
        // The spectrum's own level depends on the signal's length; its shape is what tells.
        const double* a = signal->GetA();
        const double peak = a != nullptr ? *std::max_element(a, a + signal->GetNBins()) : 0.0;
        withSignal.push_back(
            {signal, MainCtrl::PRESENTER_SIGNAL, -1, QColor(c.R, c.G, c.B),
             QStringLiteral("S: ") + Q(signal->GetLabel()) + tr(", spectrum re its peak"), false,
             peak > 0.0 ? 1.0 / peak : 1.0});
    }
    for (GraphView* g : graphs_) {
        // The focused presenter may show another slot now.
        GraphSettings settings = g->Settings();
        if (settings.focusSlot != ctrl_.PresenterSlot(settings.focusPresenter)) {
            settings.focusSlot = ctrl_.PresenterSlot(settings.focusPresenter);
            g->SetSettings(settings);
        }
        g->SetCurves(withSignal);
        g->replot();
    }
    views_->SetCurves(curves,
                      {ctrl_.PresenterSlot(0), ctrl_.PresenterSlot(1), ctrl_.PresenterSlot(2)});
}

GraphView* MainWindow::CurrentGraph() const {
    for (GraphView* g : graphs_)
        if (g->parentWidget() == tabs_->currentWidget())
            return g;
    return nullptr;
}

void MainWindow::RedrawPresenter(int presenter) {
    RedrawCurve(ctrl_.PresenterSlot(presenter));
}

void MainWindow::RedrawCurve(int slot) {
    // The graph on show first and at once; the others follow in their turn.
    views_->UpdateSlot(slot);
    GraphView* shown = CurrentGraph();
    if (shown != nullptr) {
        shown->UpdateSlot(slot);
        shown->replot(QCustomPlot::rpQueuedReplot);
    }
    for (GraphView* g : graphs_)
        if (g != shown) {
            g->UpdateSlot(slot);
            g->replot(QCustomPlot::rpQueuedReplot);
        }
}

void MainWindow::RedrawSlot(int slot) {
    for (int p = 0; p < 3; ++p)
        if (ctrl_.PresenterSlot(p) == slot)
            panels_[static_cast<std::size_t>(p)]->Refresh();
    RedrawCurve(slot);
}

QString MainWindow::CursorReadout() const {
    return readout_->text();
}

GraphView* MainWindow::Graph(GraphKind kind) const {
    for (GraphView* g : graphs_)
        if (g->Kind() == kind)
            return g;
    if (kind == GraphKind::GroupDelay)
        return views_->GroupDelayGraph();
    if (kind == GraphKind::EnergyTime)
        return views_->EnergyTimeGraph();
    return nullptr;
}

bool MainWindow::StartMeasurement(int presenter, const std::string& name,
                                  std::function<void(bool)> then) {
    if (worker_ != nullptr)
        return false;
    const int slot = ctrl_.MeasurementSlot(presenter);
    if (slot < 0)
        return false;
    std::unique_ptr<Measurement> fresh = ctrl_.PrepareMeasurement(slot);
    if (!fresh)
        return false;
    ctrl_.ShowPresenter(presenter);
    pending_ = std::move(fresh);
    pendingSlot_ = slot;
    pendingPresenter_ = presenter;
    pendingOk_ = false;
    cancelled_ = false;
    verdict_->setVisible(false);
    front_.ResetCancel();
    SetMeasuringState(true);
    ShowProgressText(tr("Measuring %1").arg(QChar('A' + presenter)));
    then_ = std::move(then);
    Measurement* record = pending_.get();
    const std::string label =
        name.empty() ? std::string(1, static_cast<char>('A' + presenter)) : name;
    emit measurementStarted();
    worker_ = new MeasureThread([this, record, label] {
        pendingOk_ = ctrl_.MeasureDetached(*record, label);
        // By name: a functor event would be freed on this thread inside Qt, where the
        // sanitizer cannot see the hand-over; the join in MeasurementDone is what counts.
        QMetaObject::invokeMethod(this, "MeasurementDone", Qt::QueuedConnection);
    });
    return true;
}

void MainWindow::CancelMeasurement() {
    if (worker_ == nullptr)
        return;
    cancelled_ = true;
    front_.Cancel();
    ctrl_.Audio().GetResponse().Abort();
    ShowProgressText(tr("Cancelling..."));
}

void MainWindow::MeasurementDone() {
    if (worker_ == nullptr)
        return;
    worker_->Join();
    delete worker_;
    worker_ = nullptr;
    lastStatus_.clear();
    const bool ok =
        pendingOk_ && !cancelled_ && ctrl_.PlaceMeasurement(pendingSlot_, std::move(pending_));
    if (ok)
        views_->ShowRoomOf(pendingPresenter_);
    pending_.reset();
    SetMeasuringState(false);
    // A cancel the user asked for needs no answer; a failure said why in a dialog.
    if (cancelled_) {
        ShowDone(tr("Measurement cancelled"));
    } else if (ok && !lastStatus_.isEmpty()) {
        ShowDone(tr("Measurement done. %1").arg(lastStatus_));
    } else {
        ShowDone(ok ? tr("Measurement done") : tr("Measurement failed"));
    }
    if (then_) {
        auto then = std::move(then_);
        then_ = nullptr;
        then(ok);
    }
    emit measurementFinished(ok);
}

void MainWindow::SetMeasuringState(bool measuring) {
    for (QAction* a : measureActions_)
        a->setEnabled(!measuring);
    stopAction_->setEnabled(measuring);
    progress_->setRange(0, 0);
    progress_->setVisible(measuring);
    cancel_->setVisible(measuring);
    inputLevel_->setVisible(false);
    inputLevel_->clear();
}

void MainWindow::ShowProgressText(const QString& text) {
    statusBar()->clearMessage();
    status_->setText(text);
}

void MainWindow::ShowDone(const QString& text) {
    status_->clear();
    statusBar()->showMessage(text, STATUS_CLEAR_MS);
}

QString MainWindow::StatusMessage() const {
    return statusBar()->currentMessage();
}

void MainWindow::SetPackagePath(const QString& path) {
    packagePath_ = path;
    UpdateTitle();
}

void MainWindow::UpdateTitle() {
    setWindowFilePath(packagePath_);
    setWindowTitle(packagePath_.isEmpty()
                       ? tr("Sonvel")
                       : tr("%1 - Sonvel").arg(QFileInfo(packagePath_).fileName()));
}

bool MainWindow::OpenPackage(const QString& path, bool append) {
    if (Measuring()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "A measurement is running; open the file when it is done");
        return false;
    }
    bool listChanged = false;
    const auto watch =
        connect(&front_, &GuiFrontEnd::listChanged, this, [&listChanged] { listChanged = true; });
    const bool ok = append ? ctrl_.Action_OpenAppendFile(path.toStdString())
                           : ctrl_.Action_OpenFile(path.toStdString());
    disconnect(watch);
    AfterOpen(path, append, ok, listChanged);
    return ok;
}

void MainWindow::AfterOpen(const QString& path, bool append, bool ok, bool listChanged) {
    if (ok && !append)
        SetPackagePath(path);
    else if (listChanged && !append)
        // Part of the package is shown: a save must not write the rest of it away unasked.
        SetPackagePath(QString());
    if (ok)
        AddRecent(path);
    model_->Refresh();
    for (PresenterPanel* p : panels_)
        p->Refresh();
    RedrawAll();
    if (listChanged) {
        GraphView* impulse = Graph(GraphKind::Impulse);
        impulse->FitAll();
        impulse->replot();
    }
}

bool MainWindow::SavePackage(const QString& path, bool wave) {
    const bool ok = ctrl_.Action_SaveFile(path.toStdString(), wave);
    if (ok) {
        SetPackagePath(path);
        AddRecent(path);
        ShowDone(tr("Saved %1").arg(path));
    }
    return ok;
}

bool MainWindow::Action_ToClipBoard() {
    QPixmap image;
    if (GraphView* g = CurrentGraph())
        image = g->toPixmap(g->width(), g->height());
    else if (QWidget* page = tabs_->currentWidget())
        image = page->grab();
    if (image.isNull())
        return false;
    QApplication::clipboard()->setPixmap(image);
    ShowDone(tr("Copied the graph to the clipboard"));
    return true;
}

QString MainWindow::DocumentPath(const QString& name) {
    const QDir beside(QCoreApplication::applicationDirPath());
    for (const QString& candidate :
         {beside.filePath(name), beside.filePath(QStringLiteral("../") + name),
          beside.filePath(QStringLiteral("../share/doc/sonvel/") + name)})
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).canonicalFilePath();
    return {};
}

void MainWindow::ShowDocument(const QString& name, const QString& title) {
    const QString path = DocumentPath(name);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           name.toStdString() +
                               " was not found beside the program nor in its installed "
                               "documents; reinstalling the program puts it back");
        return;
    }
    QDialog dialog(this);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QPlainTextEdit(QString::fromUtf8(file.readAll()), &dialog);
    text->setReadOnly(true);
    text->setObjectName("document");
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(640, 520);
    dialog.exec();
}

bool MainWindow::ExportGraph(const QString& path, int width, int height, QString* error) {
    if (GraphView* g = CurrentGraph())
        return g->SaveImage(path, width, height, error);
    return views_->SaveImage(tabs_->currentWidget(), path, width, height, error);
}

int MainWindow::SelectedSlot() const {
    const QModelIndexList rows = listView_->selectionModel()->selectedRows();
    if (!rows.isEmpty())
        return rows.first().row();
    return ctrl_.PresenterSlot(MainCtrl::PRESENTER_A);
}

void MainWindow::ExportSlot(const QString& kind) {
    const int slot = SelectedSlot();
    Measurement* m = ctrl_.List().No(slot);
    if (m == nullptr || !m->IsInitialized()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "Choose a filled slot in the list to export");
        return;
    }
    ExportChoices choices;
    if (kind == "response" || kind == "impulse") {
        ExportDialog dialog(kind, Q(m->GetLabel()), m->GetNHalf() * m->GetHzPerBin(), this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        choices = dialog.Choices();
    }
    const QString filter =
        kind == "wave" ? tr("Wave files (*.wav)") : tr("Text files (*.txt *.frd)");
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Export %1 of %2").arg(kind, Q(m->GetLabel())), QString(), filter);
    if (!path.isEmpty() &&
        ctrl_.Action_Export(slot, kind.toStdString(), path.toStdString(), {}, choices))
        ShowDone(tr("Exported %1 to %2").arg(kind, path));
}

void MainWindow::ImportInto(bool impulse) {
    const QString path = QFileDialog::getOpenFileName(
        this, impulse ? tr("Import impulse") : tr("Import response"), QString(),
        impulse ? tr("Impulses (*.wav *.flac *.aif *.aiff *.aifc *.txt);;All files (*)")
                : tr("Responses (*.frd *.txt);;All files (*)"));
    if (!path.isEmpty())
        ImportFile(path, impulse);
}

bool MainWindow::ImportFile(const QString& path, bool impulse) {
    // The sample rate of a file without one is the stream's, which the measurement owns now.
    if (Measuring()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "A measurement is running; import the file when it is done");
        return false;
    }
    const int slot = ctrl_.FirstEmptySlot();
    if (slot < 0) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "Every slot is filled; delete one to import into it");
        return false;
    }
    // The controller says why when it refuses.
    return ctrl_.Action_Import(slot, path.toStdString(), impulse, ctrl_.Audio().SampleRate(), true);
}

bool MainWindow::OpenDropped(const QString& path) {
    if (Measuring()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "A measurement is running; drop the file when it is done");
        return false;
    }
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "zip" || suffix == "kdr") {
        bool listChanged = false;
        const auto watch = connect(&front_, &GuiFrontEnd::listChanged, this,
                                   [&listChanged] { listChanged = true; });
        const bool ok = ctrl_.Action_DragAndDrop(path.toStdString());
        disconnect(watch);
        AfterOpen(path, false, ok, listChanged);
        return ok;
    }
    return ImportFile(path, Kedra::WaveImExport::FileLooksLikeAudio(path.toStdString()));
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !event->mimeData()->urls().isEmpty() &&
        event->mimeData()->urls().first().isLocalFile())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return;
    event->acceptProposedAction();
    // After the drop has returned: the question must not run inside the drag's own loop.
    const QString path = urls.first().toLocalFile();
    QMetaObject::invokeMethod(
        this, [this, path] { OpenDropped(path); }, Qt::QueuedConnection);
}

void MainWindow::BuildCalibrationMenu() {
    QMenu* m = calibrationMenu_;
    m->addAction(tr("Import &microphone calibration..."), this,
                 [this] { ImportCalibration(true); });
    m->addAction(tr("Import &DAC-ADC calibration..."), this, [this] { ImportCalibration(false); });
    m->addAction(tr("Make DAC-ADC calibration from a &loopback..."), this,
                 [this] { OpenLoopbackCalibration(); });
    m->addAction(tr("&SPL reference..."), this, [this] { OpenSplReference(); });
    m->addSeparator();
    micCalAction_ = m->addAction(tr("Use the microphone calibration"));
    dacAdcCalAction_ = m->addAction(tr("Use the DAC-ADC calibration"));
    for (QAction* a : {micCalAction_, dacAdcCalAction_}) {
        a->setCheckable(true);
        a->setEnabled(false);
    }
    // The check marks follow the calibrators, not the clicks: a switch that fails stays off.
    connect(micCalAction_, &QAction::triggered, this,
            [this](bool on) { ctrl_.Audio().SetMicCalibration(on); });
    connect(dacAdcCalAction_, &QAction::triggered, this,
            [this](bool on) { ctrl_.Audio().SetDacAdcCalibration(on); });
    connect(&front_, &GuiFrontEnd::calibrationChanged, this,
            [this](bool micOn, bool dacAdcOn, bool micFile, bool dacAdcFile) {
                micCalAction_->setChecked(micOn);
                dacAdcCalAction_->setChecked(dacAdcOn);
                micCalAction_->setEnabled(micFile);
                dacAdcCalAction_->setEnabled(dacAdcFile);
                micCalAction_->setToolTip(micFile ? QString()
                                                  : tr("Import a microphone calibration first"));
                dacAdcCalAction_->setToolTip(
                    dacAdcFile ? QString() : tr("Import or make a DAC-ADC calibration first"));
            });
    m->setToolTipsVisible(true);
}

void MainWindow::ImportCalibration(bool mic) {
    const QString path = QFileDialog::getOpenFileName(
        this, mic ? tr("Open Microphone Calibration") : tr("Open DAC-ADC Calibration"), QString(),
        tr("Calibration (*.cal);;Text (*.txt);;All Files (*)"));
    if (path.isEmpty())
        return;
    if (mic)
        ctrl_.Audio().ImportMicCalibration(path.toStdString());
    else
        ctrl_.Audio().ImportDacAdcCalibration(path.toStdString());
}

LoopbackDialog* MainWindow::OpenLoopbackCalibration() {
    if (Measuring()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "A measurement is running; make the calibration when it is done");
        return nullptr;
    }
    auto* dialog = new LoopbackDialog(ctrl_, *this);
    if (dialog->CurrentStep() == LoopbackDialog::Step::Done) {
        delete dialog;
        return nullptr;
    }
    dialog->open();
    return dialog;
}

SplDialog* MainWindow::OpenSplReference() {
    if (Measuring()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "A measurement is running; take the SPL reference when it is done");
        return nullptr;
    }
    auto* dialog = new SplDialog(ctrl_, *this);
    dialog->open();
    return dialog;
}

void MainWindow::BuildOperationsMenu() {
    QMenu* m = operationsMenu_;
    const std::pair<Operation, QString> entries[] = {
        {Operation::Combine, tr("C = A &op B...")},
        {Operation::Invert, tr("B = &1/A...")},
        {Operation::Match, tr("&Match A to B...")},
        {Operation::Stitch, tr("&Stitch A (near field) and B into C...")},
        {Operation::MinimumPhase, tr("Minimum &phase...")},
        {Operation::QBox, tr("&Closed-box fit of A into C...")},
        {Operation::MicCalibration, tr("M&icrophone calibration from three measurements...")},
    };
    for (const auto& [op, text] : entries)
        m->addAction(text, this, [this, op = op] { OpenOperation(op); });
    m->addAction(tr("&Average..."), this, [this] { OpenAverage(); });
    m->addSeparator();
    const QString copies[] = {tr("Copy A to B"), tr("Copy A to C"), tr("Copy A's window to B"),
                              tr("Copy A's window to B and C")};
    for (int i = 0; i < 4; ++i)
        m->addAction(copies[i], this, [this, i] { ctrl_.Action_MeasCopyABC(i); });
    m->addAction(tr("Reset A's level"), this, [this] { ctrl_.Action_AReset(); });
}

QColorDialog* MainWindow::ChooseSlotColour(int slot) {
    Measurement* m = ctrl_.List().No(slot);
    if (m == nullptr || !m->IsInitialized())
        return nullptr;
    const Conf::Color c = ctrl_.SlotColour(slot);
    auto* dialog = new QColorDialog(QColor(c.R, c.G, c.B), this);
    dialog->setOption(QColorDialog::DontUseNativeDialog);
    dialog->setWindowTitle(tr("Colour of %1: %2").arg(slot).arg(Q(m->GetLabel())));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QColorDialog::colorSelected, this, [this, slot, m](const QColor& colour) {
        // The slot may have been given another record meanwhile: that one keeps its colour.
        if (colour.isValid() && ctrl_.List().No(slot) == m)
            ctrl_.SetSlotColour(slot, Conf::Color{static_cast<std::uint8_t>(colour.red()),
                                                  static_cast<std::uint8_t>(colour.green()),
                                                  static_cast<std::uint8_t>(colour.blue())});
    });
    dialog->open();
    return dialog;
}

OperationDialog* MainWindow::OpenOperation(Operation operation) {
    if (Measuring()) {
        front_.ShowMessage(MessageKind::Warning, "Sonvel Warning",
                           "A measurement is running; combine the measurements when it is done");
        return nullptr;
    }
    auto* dialog = new OperationDialog(operation, ctrl_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
    return dialog;
}

std::vector<int> MainWindow::AverageSlots() const {
    std::vector<int> chosen;
    for (const QModelIndex& row : listView_->selectionModel()->selectedRows())
        if (ctrl_.List().IsFilled(row.row()))
            chosen.push_back(row.row());
    if (chosen.size() >= 2) {
        std::sort(chosen.begin(), chosen.end());
        return chosen;
    }
    return ctrl_.ShownSlots();
}

AverageDialog* MainWindow::OpenAverage() {
    if (RefusedWhileMeasuring("average the measurements"))
        return nullptr;
    auto* dialog = new AverageDialog(ctrl_, AverageSlots(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
    return dialog;
}

void MainWindow::ShowInfo(int slot) {
    Measurement* m = ctrl_.List().No(slot);
    if (m == nullptr || !m->IsInitialized())
        return;
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Info: %1").arg(Q(m->GetLabel())));
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QPlainTextEdit(Q(Kedra::Measure::MeasurementFile::GetInfo(*m)), &dialog);
    text->setReadOnly(true);
    text->setFont(FixedPitchFont());
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(520, 480);
    dialog.exec();
}

void MainWindow::AddRecent(const QString& path) {
    QStringList recent = Q(Conf::Options::Field.Window.RecentFiles).split('\n', Qt::SkipEmptyParts);
    const QString absolute = QFileInfo(path).absoluteFilePath();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    while (recent.size() > MAX_RECENT)
        recent.removeLast();
    Conf::Options::Field.Window.RecentFiles = recent.join('\n').toStdString();
    RebuildRecentMenu();
}

void MainWindow::RebuildRecentMenu() {
    recentMenu_->clear();
    const QStringList recent =
        Q(Conf::Options::Field.Window.RecentFiles).split('\n', Qt::SkipEmptyParts);
    for (const QString& path : recent)
        recentMenu_->addAction(path, this, [this, path] { OpenPackage(path, false); });
    recentMenu_->setEnabled(!recent.isEmpty());
}

void MainWindow::OptionsChanged() {
    const Conf::PlotOptions& plot = Conf::Options::Field.Plot;
    for (GraphView* g : graphs_)
        g->SetSettings(WithPlotOptions(g->Settings()));
    for (GraphView* g : {views_->GroupDelayGraph(), views_->EnergyTimeGraph()})
        g->SetSettings(WithPlotOptions(g->Settings(), false));
    // A new sample rate clears the time-zero lock; its check mark follows.
    lockAction_->setChecked(ctrl_.Audio().TimeZeroLocked());
    lockAction_->setEnabled(ctrl_.TimeZeroLockUsable());
    {
        const QSignalBlocker quiet(impulseModeBox_);
        impulseModeBox_->setCurrentIndex(impulseModeBox_->findData(plot.ImpulseGraphMode));
    }
    for (auto [box, on] :
         {std::pair{magnitudeBox_, plot.PlotAmplitude}, std::pair{phaseBox_, plot.PlotPhase}}) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    }
    model_->Refresh();
    for (PresenterPanel* p : panels_)
        p->Refresh();
    RedrawAll();
    ctrl_.Audio().NotifyCalibration();
}

bool MainWindow::RefusedWhileMeasuring(const char* what) {
    if (!Measuring())
        return false;
    std::string text = "A measurement is running; ";
    text += what;
    text += " when it is done";
    front_.ShowMessage(MessageKind::Warning, "Sonvel Warning", text);
    return true;
}

void MainWindow::AnalyseRecording() {
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Analyse a recording"));
    auto* form = new QFormLayout(&dialog);
    auto* presenter = new QComboBox(&dialog);
    presenter->addItems({"A", "B", "C"});
    auto fileRow = [&](const QString& placeholder) {
        auto* row = new QHBoxLayout;
        auto* edit = new QLineEdit(&dialog);
        edit->setPlaceholderText(placeholder);
        edit->setMinimumWidth(360);
        auto* browse = new QPushButton(tr("Browse..."), &dialog);
        connect(browse, &QPushButton::clicked, &dialog, [this, edit] {
            const QString path = QFileDialog::getOpenFileName(
                this, tr("Wave file"), QString(),
                tr("Wave files (*.wav *.flac *.aif *.aiff *.aifc);;All Files (*)"));
            if (!path.isEmpty())
                edit->setText(path);
        });
        row->addWidget(edit, 1);
        row->addWidget(browse);
        return std::pair{row, edit};
    };
    auto [recordingRow, recording] = fileRow(tr("the recording, from the first played sample"));
    auto [referenceRow, reference] = fileRow(tr("empty: the current test signal"));
    form->addRow(tr("Into:"), presenter);
    form->addRow(tr("Recording:"), recordingRow);
    form->addRow(tr("Played signal:"), referenceRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() == QDialog::Accepted && !recording->text().isEmpty())
        AnalyseFile(presenter->currentIndex(), recording->text(), reference->text());
}

bool MainWindow::AnalyseFile(int presenter, const QString& recording, const QString& reference) {
    if (RefusedWhileMeasuring("analyse the recording"))
        return false;
    const int slot = ctrl_.MeasurementSlot(presenter);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = slot >= 0 && ctrl_.Action_AnalyzeFile(slot, recording.toStdString(),
                                                          reference.toStdString());
    QApplication::restoreOverrideCursor();
    if (ok)
        views_->ShowRoomOf(presenter);
    return ok;
}

bool MainWindow::SaveTestSignal(const QString& path) {
    std::vector<float> samples;
    ctrl_.Audio().RenderSignal(samples);
    const auto format =
        Kedra::WaveImExport::NumberToWaveFormat(Conf::Options::Field.Misc.WaveFormat);
    if (Kedra::WaveImExport::ArrayWaveExport(samples.data(), static_cast<int>(samples.size()),
                                             ctrl_.Audio().SampleRate(), path.toStdString(), format,
                                             "Sonvel test signal", false) <= 0) {
        front_.ShowMessage(MessageKind::Error, "Sonvel Warning",
                           "Could not write " + path.toStdString());
        return false;
    }
    ShowDone(tr("Wrote the test signal to %1").arg(path));
    return true;
}

void MainWindow::RestoreWindowOptions() {
    const Conf::WindowOptions& w = Conf::Options::Field.Window;
    if (!w.Geometry.empty())
        restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(w.Geometry)));
    else if (screen() != nullptr)
        resize(QSize(1280, 800).boundedTo(screen()->availableGeometry().size()));
    else
        resize(1280, 800);
    if (!w.State.empty())
        restoreState(QByteArray::fromBase64(QByteArray::fromStdString(w.State)));
    tabs_->setCurrentIndex(std::clamp(w.GraphTab, 0, tabs_->count() - 1));
}

void MainWindow::StoreWindowOptions() {
    Conf::OptionsField& o = Conf::Options::Field;
    o.Window.Geometry = saveGeometry().toBase64().toStdString();
    o.Window.State = saveState().toBase64().toStdString();
    o.Window.GraphTab = tabs_->currentIndex();
    const GraphView* response = Graph(GraphKind::Response);
    o.Plot.PlotFreqMin = response->xAxis->range().lower;
    o.Plot.PlotFreqMax = response->xAxis->range().upper;
    // A level range in dB SPL is no range for levels re full scale.
    if (!response->LevelsInSpl()) {
        o.Plot.PlotDbMin = response->yAxis->range().lower;
        o.Plot.PlotDbMax = response->yAxis->range().upper;
    }
    const GraphView* impulse = Graph(GraphKind::Impulse);
    o.Window.ImpulseTimeMinMs = impulse->xAxis->range().lower;
    o.Window.ImpulseTimeMaxMs = impulse->xAxis->range().upper;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    remote_->Stop();
    if (worker_ != nullptr) {
        CancelMeasurement();
        worker_->Join();
        MeasurementDone();
    }
    StoreWindowOptions();
    event->accept();
}

} // namespace Kedra::Sonvel::Gui
