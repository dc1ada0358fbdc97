// Register access run modes: read and write a run of chip registers, send a
// raw command report. Each opens its own connection, retries, closes.
#pragma once

#include <cstdint>

int32_t readReg(uint32_t addr, uint8_t* dataBuf, int32_t len);
int32_t writeReg(uint32_t addr, const uint8_t* dataBuf, int32_t len);
int32_t writeCmd(const uint8_t* dataBuf, int32_t len);
