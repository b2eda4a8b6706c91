#include "foundation/Mem.h"

#include "foundation/KedraLogger.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

namespace Mem {
namespace {

// Never reset: the retries are a budget for the whole life of the process.
std::atomic<int> failureCounter{0};

void* HeapAllocate(std::size_t bytes, const char* who) {
    try {
        return ::operator new (bytes == 0 ? 1 : bytes, std::align_val_t{ALIGNMENT});
    } catch (const std::exception& e) {
        Kedra::Logging::KedraLogger::LogText(std::string("WARNING ") + who +
                                             " (HeapAlloc) std::exception: " + e.what() + "\n");
        throw;
    }
}

struct InstallHandler {
    InstallHandler() { CustomNewHandlerInt(); }
} installHandler;

} // namespace

void* Allocate(std::size_t bytes) {
    return HeapAllocate(bytes, "Mem::Allocate");
}

void* AllocateZeros(std::size_t bytes) {
    void* p = HeapAllocate(bytes, "Mem::AllocateZeros");
    std::memset(p, 0, bytes);
    return p;
}

void Free(void* block) {
    if (block != nullptr) {
        ::operator delete (block, std::align_val_t{ALIGNMENT});
    }
}

void CustomNewHandler() {
    int counter = failureCounter.load();
    if (counter < 10) {
        Kedra::Logging::KedraLogger::LogText(
            "WARNING CustomNewHandler: Failed to allocate memory! - Sleeping 100 millisec ( " +
            std::to_string(counter) + " )\n");
        failureCounter.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return;
    }
    Kedra::Logging::KedraLogger::LogText(
        "WARNING CustomNewHandler: Failed to allocate memory! giving up... ( " +
        std::to_string(counter) + " )\n");
    throw std::bad_alloc();
}

void CustomNewHandlerInt() {
    std::set_new_handler(&CustomNewHandler);
}

int FailureCount() {
    return failureCounter.load();
}

} // namespace Mem
