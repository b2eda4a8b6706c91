// The command line's --set: "Section.Field=VALUE" split at the first '='. A value it accepts
// must survive the autosave and the next start's load.

#include <string>

#include "FuzzSupport.h"
#include "app/Options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Kedra::Sonvel::Conf::LoadOutcome;
    using Kedra::Sonvel::Conf::Options;
    const Kedra::Fuzz::Input input(data, size);
    const std::string_view text = input.Text();
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return 0;
    Options::Reset();
    const std::string defaults = Options::SaveText();
    const Options::SetResult result = Options::SetFromText(text.substr(0, eq), text.substr(eq + 1));
    const std::string set = Options::SaveText();
    if (result != Options::SetResult::Ok) {
        if (set != defaults)
            Kedra::Fuzz::Fail("a refused --set changed the options");
        return 0;
    }
    Options::Reset();
    if (!Options::LoadText(set, false, "<saved>") ||
        Options::LastLoadOutcome() != LoadOutcome::Loaded)
        Kedra::Fuzz::Fail("options set by --set do not load back:\n" + set);
    const std::string again = Options::SaveText();
    Options::Reset();
    if (!Options::LoadText(again, false, "<saved again>") || Options::SaveText() != again)
        Kedra::Fuzz::Fail("options set by --set change from save to save:\n" + again);
    return 0;
}
