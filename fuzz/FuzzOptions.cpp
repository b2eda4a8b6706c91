// The options file: loaded from text from the defaults, and whatever was loaded, wholly or in
// part, must come back unchanged from its own save, as the autosave at exit and the load at
// the next start do with it. The SPL references it holds read without harm, and what they
// read writes back to text that reads the same.

#include <string>

#include "FuzzSupport.h"
#include "app/Options.h"
#include "app/SplReference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Kedra::Sonvel::Conf::LoadOutcome;
    using Kedra::Sonvel::Conf::Options;
    const Kedra::Fuzz::Input input(data, size);
    Options::Reset();
    Options::LoadText(input.Text(), false, "<fuzz>");
    const LoadOutcome outcome = Options::LastLoadOutcome();
    if (outcome != LoadOutcome::Loaded && outcome != LoadOutcome::InPart)
        return 0;
    const auto references = Kedra::Sonvel::ParseSplReferences(Options::Field.Spl.References);
    const std::string referenceText = Kedra::Sonvel::FormatSplReferences(references);
    if (Kedra::Sonvel::FormatSplReferences(Kedra::Sonvel::ParseSplReferences(referenceText)) !=
        referenceText)
        Kedra::Fuzz::Fail("the SPL references change from save to save:\n" + referenceText);
    // The first save may round numbers; from there on the text is a fixed point.
    const std::string saved = Options::SaveText();
    Options::Reset();
    if (!Options::LoadText(saved, false, "<saved>") ||
        Options::LastLoadOutcome() != LoadOutcome::Loaded)
        Kedra::Fuzz::Fail("the saved options do not load back:\n" + saved);
    const std::string again = Options::SaveText();
    Options::Reset();
    if (!Options::LoadText(again, false, "<saved again>") || Options::SaveText() != again)
        Kedra::Fuzz::Fail("the options change from save to save:\n" + again);
    return 0;
}
