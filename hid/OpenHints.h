// Console hints about the device search, for people: one line each on
// standard error (standard output is what scripts parse and is left alone).
// Each hint is given at most once per run, however often the run searches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The udev rule that lets the logged-in user open the controller's hidraw
// nodes: where the package installs it, and where a source tree keeps it.
constexpr const char* kInstalledUdevRulePath = "/usr/lib/udev/rules.d/60-touchfw.rules";
constexpr const char* kSourceUdevRulePath = "contrib/60-touchfw.rules";

// The rule to point to: the installed one when present, else the source tree's.
const char* udevRuleHintPath();

// No interface has the wanted keys (and path, when one is set).
void hintNoMatchingDevice(unsigned vid, unsigned pid, unsigned usagePage, unsigned usage,
                          const std::string& path);
// A matching interface exists but this user may not open it.
void hintOpenDenied(const std::string& path);
// Every matching interface is held by another run. Given at every refused
// search (a run stops retrying once its device is held).
void hintDeviceInUse(const std::string& path);
// The scan listed interfaces on these nodes that this user may not open.
void hintScanUnopenable(const std::vector<std::string>& paths);
// A search opened `used` after passing over this matching device, which
// could not be opened (`denied`: for lack of permission). Once per device.
void hintSkippedDevice(const std::string& path, bool denied, uint32_t osError);
// A search opened `used` while these other devices have the same keys.
// Nothing when there are none.
void hintSeveralMatches(const std::string& used, const std::vector<std::string>& others);

// Lets every hint be given again (tests only).
void resetOpenHints();
