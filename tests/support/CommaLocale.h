#pragma once
// A comma-decimal locale for tests of number reading and writing: a German desktop writes
// "3,25", and the program's files must not follow it.

namespace SonvelTest {

// Switches the C library and the global C++ locale to a comma-decimal locale for its
// lifetime (an installed one, else de_DE.UTF-8 built with localedef into TempDir()), and
// back to "C" afterwards. Name() is null when no such locale could be had: skip then.
class ScopedCommaLocale {
public:
    ScopedCommaLocale();
    ~ScopedCommaLocale();
    ScopedCommaLocale(const ScopedCommaLocale&) = delete;
    ScopedCommaLocale& operator=(const ScopedCommaLocale&) = delete;

    const char* Name() const { return name_; }

private:
    const char* name_ = nullptr;
};

} // namespace SonvelTest
