#pragma once
// A push button that shows a colour and lets the user pick another one with the colour
// dialog. GUI thread only.

#include <QColor>
#include <QPushButton>

namespace Kedra::Sonvel::Gui {

class ColourButton : public QPushButton {
    Q_OBJECT
public:
    explicit ColourButton(const QString& title, QWidget* parent = nullptr);

    QColor Colour() const { return colour_; }
    void SetColour(const QColor& colour);

signals:
    void colourChanged(const QColor& colour);

private:
    QString title_;
    QColor colour_;
};

} // namespace Kedra::Sonvel::Gui
