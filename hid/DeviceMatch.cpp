#include "hid/DeviceMatch.h"

DeviceMatchSettings deviceMatch{};

void resetDeviceMatch() {
    deviceMatch = DeviceMatchSettings{};
}
