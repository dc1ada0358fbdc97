// Restarting the chip with the raw restart report.
#pragma once

#include <cstdint>

// Sends restartCmd (three attempts, 300 ms after each failure), then waits
// 200 ms for the chip to come back. 0 on success, -1 when every attempt failed.
// Uses the HID interface directly; the caller holds the connection open.
int32_t resetIC();
