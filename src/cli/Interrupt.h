#pragma once
// Ctrl+C during a live run (the sound level meter, the analyser, the transfer function) ends
// the run early, as its --seconds would, so that what was measured is still reported and its
// CSV written, rather than lost with the process. A second Ctrl+C ends the program at once.

#include <atomic>

namespace Kedra::Sonvel {

class InterruptScope {
public:
    // Catches SIGINT until destroyed, then puts back what was there.
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Set once Ctrl+C came: the cancel flag of the live run.
    static const std::atomic<bool>* Flag();
    static bool Interrupted() { return Flag()->load(std::memory_order_acquire); }
};

} // namespace Kedra::Sonvel
