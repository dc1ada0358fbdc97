// The Windows error codes the emulated chip, host and replay report.
#pragma once

#include <cstdint>

namespace emu {

constexpr uint32_t kOsFileNotFound = 2;
constexpr uint32_t kOsAccessDenied = 5;
constexpr uint32_t kOsInvalidHandle = 6;
constexpr uint32_t kOsGenFailure = 31;  // a general device failure
constexpr uint32_t kOsSharingViolation = 32;
constexpr uint32_t kOsInvalidParameter = 87;
constexpr uint32_t kOsDeviceNotConnected = 1167;

}  // namespace emu
