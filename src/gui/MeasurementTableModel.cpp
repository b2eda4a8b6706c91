#include "gui/MeasurementTableModel.h"

#include <QBrush>
#include <QColor>
#include <QMimeData>
#include <QPalette>

#include "app/MainCtrl.h"
#include "measure/Measurement.h"

namespace Kedra::Sonvel::Gui {

using Kedra::Measure::Measurement;

MeasurementTableModel::MeasurementTableModel(MainCtrl& ctrl, QObject* parent)
    : QAbstractTableModel(parent), ctrl_(ctrl) {}

int MeasurementTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ctrl_.List().GetSize();
}

int MeasurementTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MeasurementTableModel::data(const QModelIndex& index, int role) const {
    Measurement* m = ctrl_.List().No(index.row());
    if (m == nullptr)
        return {};
    const bool filled = m->IsInitialized();
    if (index.column() == Shown && role == Qt::CheckStateRole && filled)
        return ctrl_.SlotShown(index.row()) ? Qt::Checked : Qt::Unchecked;
    if (index.column() == Colour && filled) {
        const Conf::Color c = ctrl_.SlotColour(index.row());
        if (role == Qt::DecorationRole)
            return QColor(c.R, c.G, c.B);
        if (role == Qt::ToolTipRole)
            return tr("Its colour on the graphs (double click to change it)");
    }
    if (index.column() == Shown && role == Qt::ToolTipRole && filled)
        return tr("Drawn on the graphs");
    if (role == Qt::ForegroundRole && !filled && index.column() != Presenter)
        return QBrush(QPalette().color(QPalette::Disabled, QPalette::Text));
    if (role == Qt::TextAlignmentRole && index.column() != Label && index.column() != Date &&
        index.column() != Signal)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && filled)
        return QString::fromStdString(m->GetLabel());
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    switch (index.column()) {
    case Index:
        return index.row();
    case Presenter: {
        QString who;
        for (int p = MainCtrl::PRESENTER_A; p <= MainCtrl::PRESENTER_C; ++p)
            if (ctrl_.PresenterSlot(p) == index.row())
                who += QChar('A' + p);
        return who;
    }
    case Label:
        return QString::fromStdString(m->GetLabel());
    case Rate:
        return filled ? QVariant(m->GetSamplerate()) : QVariant();
    case Length:
        return filled ? QVariant(m->GetN()) : QVariant();
    case Signal:
        return filled
                   ? QString::fromStdString(Kedra::Measure::SignalTypeToString(m->GetSignalType()))
                   : QString();
    case Date:
        return filled ? QString::fromStdString(m->GetRecDate()) : QString();
    default:
        return {};
    }
}

QVariant MeasurementTableModel::headerData(int section, Qt::Orientation orientation,
                                           int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    static const char* names[] = {"#",         "Shown", "Colour", "Presenter", "Label",
                                  "Rate [Hz]", "N",     "Signal", "Date"};
    return section >= 0 && section < ColumnCount ? tr(names[section]) : QVariant();
}

Qt::ItemFlags MeasurementTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index) | Qt::ItemIsDragEnabled;
    if (index.column() == Label)
        f |= Qt::ItemIsEditable;
    Measurement* m = ctrl_.List().No(index.row());
    if (index.column() == Shown && m != nullptr && m->IsInitialized())
        f |= Qt::ItemIsUserCheckable;
    return f;
}

bool MeasurementTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role == Qt::CheckStateRole && index.column() == Shown) {
        // The controller tells the window, which redraws.
        ctrl_.SetSlotShown(index.row(), value.toInt() == Qt::Checked);
        return true;
    }
    if (role != Qt::EditRole || index.column() != Label)
        return false;
    // The controller tells the window, which redraws the list, the presenters and legends.
    if (!ctrl_.Action_Rename(index.row(), value.toString().toStdString()))
        return false;
    emit renamed(index.row());
    return true;
}

QStringList MeasurementTableModel::mimeTypes() const {
    return {SLOT_MIME_TYPE};
}

QMimeData* MeasurementTableModel::mimeData(const QModelIndexList& indexes) const {
    if (indexes.isEmpty())
        return nullptr;
    auto* mime = new QMimeData;
    mime->setData(SLOT_MIME_TYPE, QByteArray::number(indexes.first().row()));
    return mime;
}

void MeasurementTableModel::Refresh() {
    // The slots stay the same rows: their cells anew keeps the selection and an open editor.
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

} // namespace Kedra::Sonvel::Gui
