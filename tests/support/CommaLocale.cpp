#include "support/CommaLocale.h"

#include "support/Sanitizers.h"
#include "support/TestSupport.h"

#if SONVEL_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <locale>
#include <string>

namespace SonvelTest {
namespace {

bool Usable(const char* name) {
    return std::setlocale(LC_ALL, name) != nullptr && std::localeconv()->decimal_point[0] == ',';
}

const char* FindCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8"})
        if (Usable(name))
            return name;
    const std::filesystem::path dir = TempDir() / "comma-locale";
    std::filesystem::create_directories(dir);
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0 && ::setenv("LOCPATH", dir.c_str(), 1) == 0 &&
        Usable("de_DE.UTF-8"))
        return "de_DE.UTF-8";
    return nullptr;
}

} // namespace

ScopedCommaLocale::ScopedCommaLocale() {
    // glibc keeps a block of the LOCPATH search list for good once a locale was loaded
    // through it; that is the C library's, so the leak checker looks away meanwhile.
#if SONVEL_TEST_ASAN
    __lsan_disable();
#endif
    name_ = FindCommaLocale();
    if (name_ != nullptr)
        std::locale::global(std::locale(name_));
    else
        std::setlocale(LC_ALL, "C");
}

ScopedCommaLocale::~ScopedCommaLocale() {
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
#if SONVEL_TEST_ASAN
    __lsan_enable();
#endif
}

} // namespace SonvelTest
