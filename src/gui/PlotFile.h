#pragma once
// The graphs rendered to a file without a display, for the command line's `plot`. Qt stays
// behind this header: the command line includes it and links the window's library.

#include <string>
#include <vector>

#include "analyze/LoudspeakerViews.h"

namespace Kedra::Measure {
class Measurement;
}

namespace Kedra::Sonvel::Gui {

struct PlotCurve {
    Kedra::Measure::Measurement* record = nullptr;
    int presenter = 0;
    int red = 0, green = 0, blue = 0;
    std::string label;
};

struct PlotFileRequest {
    std::vector<PlotCurve> curves;
    // response, phase, impulse, distortion, groupdelay, etc, waterfall, decay
    std::string graph = "response";
    std::string path; // .png, .svg or .pdf
    int width = 1600;
    int height = 900;
    double from = 20.0;
    double to = 20000.0;
    double dbMin = -60.0;
    double dbMax = 10.0;
    // The distortion, energy-time and decay graphs fit their level axis to the data unless
    // the levels were given.
    bool levelsGiven = false;
    // The waterfall's slices, and whether it is drawn as a colour map instead of lines.
    Kedra::Measure::WaterfallSettings waterfall;
    bool colourMap = false;
    // The energy-time curve's octave band (midband Hz), 0 broadband.
    double etcBandHz = 0.0;
};

// Renders the request (Qt's offscreen platform when no application runs yet). False and
// `error` when the graph name, size, path or a record is unusable.
bool RenderPlotFile(const PlotFileRequest& request, std::string& error);

} // namespace Kedra::Sonvel::Gui
