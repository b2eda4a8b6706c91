#pragma once
// The device report (host APIs, devices, their channels and sample rates) as the command
// line's `sonvel devices` prints it, read-only and selectable, with a button that copies all.

#include <QDialog>
#include <QString>

class QPlainTextEdit;

namespace Kedra::Sonvel::Gui {

class DeviceReportDialog : public QDialog {
    Q_OBJECT
public:
    explicit DeviceReportDialog(QWidget* parent = nullptr);
    // A fresh report in a window of its own that goes when closed.
    static DeviceReportDialog* Open(QWidget* parent);

    // Asks the sound system again.
    void Reload();
    QString Text() const;
    QPlainTextEdit* View() const { return view_; }
    void CopyAll() const;

private:
    QPlainTextEdit* view_ = nullptr;
};

} // namespace Kedra::Sonvel::Gui
