// The firmware download: moving a loaded image into the chip over an open
// connection (switch to the update patch, enter the update program, write
// each selected sub-firmware block by block into the chip's RAM buffer and
// flash it, flash the configuration, restart).
#pragma once

#include <cstdint>

class FwImage;
class TlcConnection;

constexpr uint32_t kFlashBlockSize = 4096;
constexpr int kFlashBlockCmdMaxLen = 15;

// Compares the chip's Pid and Vid (read into the connection) with the
// image's: -1 the Pids differ; -2 the Vids are equal (no update needed);
// 0 the Vids differ (update needed).
int32_t checkUpdateWithConnection(TlcConnection& connection, FwImage& image);

// One whole download. cfgData may be nullptr (cfgLen 0). 0 success; -1 the
// switch-to-patch report was not sent or the configuration flash failed;
// -2 disabling reporting or the patch check failed; -3 the chip did not
// enter its update program; -4 the image is not loaded; -5 a sub-firmware
// failed to load; -6 the restart failed.
int32_t fwUpdateWithConnection(TlcConnection& connection, FwImage& image, uint32_t fwFlag,
                               const uint8_t* cfgData, uint32_t cfgLen);

// Sends the enter-update report and, for the fjord family, checks the RAM
// buffer with a test pattern. 0, -1 (RAM check failed) or -3 (report not sent).
int32_t NotifyICEnterUpdate(TlcConnection& connection);

// Writes `length` bytes to flash at `flashAddr` in 4096-byte blocks, each
// through the RAM buffer and a load-flash command, ten attempts per block.
// 0 success (also for length 0), -1 failure (also for missing data).
int32_t loadSubFw(TlcConnection& connection, uint32_t flashAddr, const uint8_t* data,
                  uint32_t length);

// Builds the load-flash command for one block into `out` (at least
// kFlashBlockCmdMaxLen bytes): 11 bytes for 5410 and 5415R, 15 for the fjord
// family, 0 (nothing built) for any other chip type.
int buildFlashBlockCmd(const uint8_t* block, uint32_t blockLen, uint32_t flashAddr, uint8_t* out);
