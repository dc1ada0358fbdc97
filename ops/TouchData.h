// Touch-data capture: raw, difference and baseline frames printed as tables.
#pragma once

#include <cstdint>

// showType: 0 hexadecimal, 1 decimal. The result becomes the exit status.
int32_t GetSomeData(bool rawData, bool baseData, bool diffData, int32_t row, int32_t col,
                    int32_t readTimes, int32_t showType);
