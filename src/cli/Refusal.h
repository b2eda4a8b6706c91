#pragma once
// How a subcommand gives up: the reason on stderr, as "sonvel: error: ..." for a failure
// (status 1) and "sonvel: ..." for a usage error (2), and the exit status to return.

#include <cstdio>
#include <string>

namespace Kedra::Sonvel {

inline int Refuse(int status, const std::string& why) {
    std::fprintf(stderr, "sonvel: %s%s\n", status == 1 ? "error: " : "", why.c_str());
    return status;
}

} // namespace Kedra::Sonvel
