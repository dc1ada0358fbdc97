#include "hid/OpenHints.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>

namespace {

bool noMatchHinted = false;
bool deniedHinted = false;
bool severalHinted = false;
std::vector<std::string> skippedHinted;

}  // namespace

const char* udevRuleHintPath() {
#if !defined(_WIN32)
    if (access(kInstalledUdevRulePath, F_OK) == 0)
        return kInstalledUdevRulePath;
#endif
    return kSourceUdevRulePath;
}

void hintNoMatchingDevice(unsigned vid, unsigned pid, unsigned usagePage, unsigned usage,
                          const std::string& path) {
    if (noMatchHinted)
        return;
    noMatchHinted = true;
    std::fprintf(stderr,
                 "touchfw: no HID interface matches vid 0x%04X, pid 0x%04X, usage page 0x%04X, "
                 "usage 0x%04X%s%s; run with --scan to list the interfaces present.\n",
                 vid, pid, usagePage, usage, path.empty() ? "" : ", path ", path.c_str());
    std::fflush(stderr);
}

void hintOpenDenied(const std::string& path) {
    if (deniedHinted)
        return;
    deniedHinted = true;
#if defined(__linux__)
    const char* rule = udevRuleHintPath();
    if (rule == kInstalledUdevRulePath) {
        std::fprintf(stderr,
                     "touchfw: permission denied on %s; the udev rule %s grants access to the "
                     "user logged in at this machine's seat: replug the device (over SSH or on "
                     "a headless station, use a copy in /etc/udev/rules.d/ with GROUP=\"plugdev\", "
                     "MODE=\"0660\" for TAG+=\"uaccess\" and add the user to plugdev; a "
                     "controller with another vendor id needs the rule edited, see touchfw(1)).\n",
                     path.c_str(), rule);
    } else {
        std::fprintf(stderr,
                     "touchfw: permission denied on %s; install the udev rule %s into "
                     "/etc/udev/rules.d/ and replug the device (it serves the user logged in at "
                     "this machine's seat; over SSH or on a headless station write "
                     "GROUP=\"plugdev\", MODE=\"0660\" for TAG+=\"uaccess\" in it and add the "
                     "user to plugdev).\n",
                     path.c_str(), rule);
    }
#else
    std::fprintf(stderr, "touchfw: permission denied on %s.\n", path.c_str());
#endif
    std::fflush(stderr);
}

void hintDeviceInUse(const std::string& path) {
    std::fprintf(stderr, "touchfw: %s: device is in use by another process.\n", path.c_str());
    std::fflush(stderr);
}

void hintScanUnopenable(const std::vector<std::string>& paths) {
    if (paths.empty())
        return;
    std::string list;
    for (const std::string& path : paths)
        list += (list.empty() ? "" : ", ") + path;
    std::fprintf(stderr, "touchfw: this user may not open %s (see the udev rule %s).\n",
                 list.c_str(), udevRuleHintPath());
    std::fflush(stderr);
}

void hintSkippedDevice(const std::string& path, bool denied, uint32_t osError) {
    if (std::find(skippedHinted.begin(), skippedHinted.end(), path) != skippedHinted.end())
        return;
    skippedHinted.push_back(path);
    if (!denied) {
        std::fprintf(stderr,
                     "touchfw: skipped %s, a matching device that could not be opened (error "
                     "%u).\n",
                     path.c_str(), static_cast<unsigned>(osError));
    } else {
#if defined(__linux__)
        std::fprintf(stderr,
                     "touchfw: skipped %s, a matching device this user may not open (permission "
                     "denied; see the udev rule %s).\n",
                     path.c_str(), udevRuleHintPath());
#else
        std::fprintf(stderr,
                     "touchfw: skipped %s, a matching device this user may not open (permission "
                     "denied).\n",
                     path.c_str());
#endif
    }
    std::fflush(stderr);
}

void hintSeveralMatches(const std::string& used, const std::vector<std::string>& others) {
    if (others.empty() || severalHinted)
        return;
    severalHinted = true;
    std::string list;
    for (const std::string& path : others)
        list += (list.empty() ? "" : ", ") + path;
    std::fprintf(stderr,
                 "touchfw: %u devices match; using %s (%u other%s: %s); choose one with "
                 "--path.\n",
                 static_cast<unsigned>(others.size() + 1), used.c_str(),
                 static_cast<unsigned>(others.size()), others.size() == 1 ? "" : "s", list.c_str());
    std::fflush(stderr);
}

void resetOpenHints() {
    noMatchHinted = false;
    deniedHinted = false;
    severalHinted = false;
    skippedHinted.clear();
}
