#pragma once
// A push button that shows a colour and lets the user pick another one with the colour
// dialog. GUI thread only.

#include <QColor>
#include <QPushButton>

namespace Kedra::Sonvel::Gui {

// The colour picker's custom colours are kept in the plot options (CustomColors, one RGBA
// number each), so that they survive a restart: into the picker before it opens, back
// after it closed.
void CustomColoursFromOptions();
void CustomColoursToOptions();

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
