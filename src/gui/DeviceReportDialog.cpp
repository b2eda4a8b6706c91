#include "gui/DeviceReportDialog.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <sstream>

#include "audio/Devices.h"
#include "gui/FixedPitchFont.h"

namespace Kedra::Sonvel::Gui {

DeviceReportDialog::DeviceReportDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Sonvel - Device report"));
    auto* layout = new QVBoxLayout(this);
    view_ = new QPlainTextEdit(this);
    view_->setReadOnly(true);
    view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    view_->setFont(FixedPitchFont());
    layout->addWidget(view_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    copy->setToolTip(tr("Copy the whole report to the clipboard"));
    connect(copy, &QPushButton::clicked, this, &DeviceReportDialog::CopyAll);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    Reload();
}

DeviceReportDialog* DeviceReportDialog::Open(QWidget* parent) {
    auto* dialog = new DeviceReportDialog(parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    return dialog;
}

void DeviceReportDialog::Reload() {
    std::ostringstream report;
    Kedra::PAudioII::ShowDeviceInfo(report);
    const QString text = QString::fromStdString(report.str());
    view_->setPlainText(text);
    // Wide enough for the longest line (the sample rates), within reason.
    int widest = 0;
    const QFontMetrics metrics(view_->font());
    for (const QString& line : text.split('\n'))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    resize(std::clamp(widest + 60, 640, 1280), 560);
}

QString DeviceReportDialog::Text() const {
    return view_->toPlainText();
}

void DeviceReportDialog::CopyAll() const {
    QGuiApplication::clipboard()->setText(Text());
}

} // namespace Kedra::Sonvel::Gui
