#pragma once

#include <QFont>

namespace Kedra::Sonvel::Gui {

// Whether every glyph a report uses has the same advance. fontconfig reports some true
// monospace faces (Noto Sans Mono) as proportional, so the face's own flag is not trusted.
bool HasEqualAdvances(const QFont& font);

// A face in which columns of a text report line up: the system's fixed font when its glyphs
// really have equal advances, else the first installed monospace face that does.
QFont FixedPitchFont();

} // namespace Kedra::Sonvel::Gui
