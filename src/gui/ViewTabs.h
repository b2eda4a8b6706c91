#pragma once
// The window's tabs of the views besides the response: group delay, energy-time curve,
// waterfall and room acoustics, each with its row of controls. A tab computes only while
// it is on show; the others remember that their input changed and catch up when shown
// (the room analysis of a long record takes tens of milliseconds). GUI thread only.

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "gui/GraphView.h"

class QComboBox;
class QTabWidget;

namespace Kedra::Sonvel::Gui {

class RoomAcousticsView;
class WaterfallView;

class ViewTabs : public QObject {
    Q_OBJECT
public:
    // Appends the four tabs to `tabs`.
    ViewTabs(QTabWidget* tabs, QObject* parent);

    // The shown slots' curves anew (a presenter changed, a record came or went), and the
    // slots the presenters A, B, C show (a curve names only one of two presenters that show
    // the same slot).
    void SetCurves(const std::vector<CurveSource>& curves,
                   std::array<int, 3> presenterSlots = {-1, -1, -1});
    // A presenter's or a slot's record's view changed (window, smoothing, filters, level).
    void UpdatePresenter(int presenter);
    void UpdateSlot(int slot);
    // The room page shows this presenter from now on: it was measured or chosen last.
    void ShowRoomOf(int presenter);

    GraphView* GroupDelayGraph() const { return groupDelay_; }
    GraphView* EnergyTimeGraph() const { return energyTime_; }
    WaterfallView* Waterfall() const { return waterfall_; }
    RoomAcousticsView* Room() const { return room_; }
    // Whether the tab's page is one of these, and for it: fit, export.
    bool Owns(QWidget* page) const;
    void Fit(QWidget* page);
    bool SaveImage(QWidget* page, const QString& path, int width, int height, QString* error);

signals:
    void cursorText(const QString& text);

private:
    enum Page { GROUP_DELAY, ENERGY_TIME, WATERFALL, ROOM, PAGES };
    QWidget* AddPage(Page page, QWidget* view, const QString& title);
    // The presenter a one-record page shows: its choice when visible, else the first curve.
    const CurveSource* Focus(int choice) const;
    void MarkStale(Page page);
    void Update(const std::function<bool(const CurveSource&)>& changed);
    void RefreshShown();
    void Compute(Page page);

    QTabWidget* tabs_;
    std::vector<CurveSource> curves_;
    std::array<int, 3> presenterSlots_{-1, -1, -1};
    std::array<QWidget*, PAGES> pages_{};
    std::array<bool, PAGES> stale_{};
    std::array<int, PAGES> shownPresenter_{}; // of the one-record pages, -1 none
    GraphView* groupDelay_ = nullptr;
    GraphView* energyTime_ = nullptr;
    WaterfallView* waterfall_ = nullptr;
    RoomAcousticsView* room_ = nullptr;
    int waterfallChoice_ = 0;
    int roomChoice_ = 0;
    QComboBox* roomFocus_ = nullptr;
    // What the room table was computed from: the analysis reads the measured impulse, not
    // the view, so an edit of the view leaves it as it is.
    std::uint64_t roomGeneration_ = 0; // data generation of the record the table shows
};

} // namespace Kedra::Sonvel::Gui
