#pragma once
// The measurement list as a table over the controller's list: one row per slot, the columns
// of the list dock. Labels are edited in place (a rename); a row dragged out carries its slot
// number, which a presenter accepts; the Shown box draws a slot or hides it. GUI thread only.

#include <QAbstractTableModel>

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

inline constexpr const char* SLOT_MIME_TYPE = "application/x-sonvel-slot";

class MeasurementTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Shown: a check box, whether the slot is drawn; Colour: a swatch of its colour;
    // Presenter: which of A, B, C shows it.
    enum Column { Index, Shown, Colour, Presenter, Label, Rate, Length, Signal, Date, ColumnCount };

    explicit MeasurementTableModel(MainCtrl& ctrl, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;

    // The list changed in any way: every row again.
    void Refresh();

signals:
    // A label was edited in the table.
    void renamed(int slot);

private:
    MainCtrl& ctrl_;
};

} // namespace Kedra::Sonvel::Gui
