#include "cli/Interrupt.h"

#include <csignal>

namespace Kedra::Sonvel {

namespace {

std::atomic<bool> interrupted{false};
struct sigaction previous {};

extern "C" void OnInterrupt(int) {
    interrupted.store(true, std::memory_order_release);
    // The next one is the default: a run that does not stop can still be ended.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

InterruptScope::InterruptScope() {
    interrupted.store(false, std::memory_order_release);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
}

InterruptScope::~InterruptScope() {
    sigaction(SIGINT, &previous, nullptr);
}

const std::atomic<bool>* InterruptScope::Flag() {
    return &interrupted;
}

} // namespace Kedra::Sonvel
