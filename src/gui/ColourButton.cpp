#include "gui/ColourButton.h"

#include <QColorDialog>
#include <QPainter>
#include <QPixmap>

namespace Kedra::Sonvel::Gui {

ColourButton::ColourButton(const QString& title, QWidget* parent)
    : QPushButton(parent), title_(title) {
    setMinimumWidth(140);
    connect(this, &QPushButton::clicked, this, [this] {
        const QColor picked = QColorDialog::getColor(colour_, this, title_);
        if (picked.isValid())
            SetColour(picked);
    });
    SetColour(Qt::black);
}

void ColourButton::SetColour(const QColor& colour) {
    const bool changed = colour != colour_;
    colour_ = colour;
    QPixmap swatch(28, 14);
    swatch.fill(colour);
    {
        QPainter frame(&swatch);
        frame.setPen(palette().color(QPalette::WindowText));
        frame.drawRect(swatch.rect().adjusted(0, 0, -1, -1));
    }
    setIcon(QIcon(swatch));
    setIconSize(swatch.size());
    setText(colour.name().toUpper());
    if (changed)
        emit colourChanged(colour);
}

} // namespace Kedra::Sonvel::Gui
