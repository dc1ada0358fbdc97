#include "hid/DeviceMatch.h"

#if !defined(_WIN32)
#include <climits>
#include <cstdlib>
#endif

DeviceMatchSettings deviceMatch{};

void resetDeviceMatch() {
    deviceMatch = DeviceMatchSettings{};
}

std::string devicePathOf(const std::string& path) {
#if !defined(_WIN32)
    if (!path.empty()) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr)
            return resolved;
    }
#endif
    return path;
}
