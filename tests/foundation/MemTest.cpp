#include "foundation/Mem.h"
#include "foundation/KedraLogger.h"
#include "support/Sanitizers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <complex>
#include <new>

TEST(Mem, ArraysAreZeroedAlignedAndFreedFromTheirStart) {
    double* zeros = Mem::AllocateArrayZeros<double>(1000);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(zeros[i], 0.0);
    }
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(zeros) % Mem::ALIGNMENT, 0u);
    // An array addressed from its middle is freed from its start (ASan checks the pointer).
    double* centre = zeros + 500;
    Mem::FreeArray(centre, 500);
    EXPECT_EQ(centre, nullptr);
    Mem::FreeArray(centre, 500); // null is ignored

    auto* spectrum = Mem::AllocateArrayZeros<std::complex<double>>(33);
    EXPECT_EQ(spectrum[32], std::complex<double>(0.0, 0.0));
    Mem::FreeArrayNoRef(spectrum);
}

TEST(Mem, ArrayHolderIsMoveOnlyAndReleases) {
    Mem::Array<double> a(16);
    a[3] = 2.5;
    Mem::Array<double> b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.size(), 16u);
    EXPECT_EQ(b[3], 2.5);
    Mem::Array<double> c = Mem::Array<double>::Zeros(4);
    c = std::move(b);
    EXPECT_EQ(c[3], 2.5);
    double* raw = c.release();
    EXPECT_EQ(c.get(), nullptr);
    Mem::FreeArray(raw);
    static_assert(!std::is_copy_constructible_v<Mem::Array<double>>);
}

TEST(Mem, AnImpossibleAllocationIsLoggedAndThrows) {
#if SONVEL_TEST_ASAN
    GTEST_SKIP() << "AddressSanitizer's operator new aborts on exhaustion instead of throwing";
#endif
    // Far beyond any address space: the handler's retries cannot help, so the failure
    // reaches the caller as bad_alloc and the log says why.
    EXPECT_THROW(Mem::Allocate(static_cast<std::size_t>(-1) / 2), std::bad_alloc);
    EXPECT_NE(SonvelTest::ReadLog().find("WARNING Mem::Allocate (HeapAlloc) std::exception: "),
              std::string::npos);
}

// The handler's budget is process-wide: ten sleeping retries, then the eleventh gives up
// at once. Run in a child process so the budget of the test program stays untouched.
TEST(MemDeathTest, TheEleventhFailureThrowsWithoutSleeping) {
    EXPECT_EXIT(
        {
            for (int i = 0; i < 10; ++i) {
                Mem::CustomNewHandler();
            }
            if (Mem::FailureCount() != 10) {
                std::exit(2);
            }
            const auto start = std::chrono::steady_clock::now();
            try {
                Mem::CustomNewHandler();
            } catch (const std::bad_alloc&) {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
                const std::string log = SonvelTest::ReadLog();
                const bool logged =
                    log.find("CustomNewHandler: Failed to allocate memory! - Sleeping 100 millisec "
                             "( 9 )\n") != std::string::npos &&
                    log.find(
                        "CustomNewHandler: Failed to allocate memory! giving up... ( 10 )\n") !=
                        std::string::npos;
                std::exit(ms < 50 && logged ? 0 : 3);
            }
            std::exit(4);
        },
        ::testing::ExitedWithCode(0), "");
}
