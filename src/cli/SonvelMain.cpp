// The sonvel program: a terminal front end over the main controller.

#include <cstdio>
#include <exception>

#include "cli/CommandLine.h"

int main(int argc, char** argv) {
    try {
        return Kedra::Sonvel::RunCommandLine(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sonvel: The application crashed: %s\n", e.what());
        return 1;
    }
}
