// Property queries: product id text, version id, sensor id, configuration
// version. The four run-mode operations each open their own connection, pause
// touch reporting, read, resume reporting and close.
// Codes: 0 success; -1 `out` is null; -2 the device could not be opened;
// -3 the identity read failed (getCfgVer passes on the code of
// getCfgVerWithConnection); -4 the value was read but touch reporting could
// not be enabled again.
#pragma once

#include <cstdint>

class TlcConnection;

int32_t getPid(char* pid);     // at least 9 bytes; NUL-terminated text
int32_t getVid(uint8_t* vid);  // 4 bytes, in the order read from the chip
int32_t getChipSensorID(uint8_t* sensorId);
int32_t getCfgVer(uint8_t* cfgVer);

// Reads the configuration version over an open connection into *out.
// 5410 / 5415R: the version with its check bytes at cfgAddr. fjord family:
// the 64-byte configuration block between a read-start and a read-end
// command, checked by its 16-bit checksum; the version is block byte 34.
// Codes: 0 success; -1 unknown chip type, check bytes or checksum wrong,
// read-start command not acknowledged; -3 register read failed; -5 the
// version was read but the read-end command was not acknowledged (the chip
// may still be in its configuration read).
// *out is only written on success.
int32_t getCfgVerWithConnection(TlcConnection& connection, uint8_t* out);

// Reads len bytes of the configuration area from cfgAddr over an open
// connection, through the window getCfgVerWithConnection uses (fjord family:
// between a read-start and a read-end command; 5410 / 5415R: at cfgAddr as
// it stands). The read is made again after a failure, up to three times,
// 20 ms apart. Codes: 0 success; -1 unknown chip type, a range the framing
// cannot address, or read-start command not acknowledged; -3 every read
// failed; -5 the read-end command was not acknowledged.
int32_t readCfgAreaWithConnection(TlcConnection& connection, uint8_t* out, int32_t len);
