// touchfw: maintenance tool for touch-controller chips behind a HID device.
#include "app/App.h"
#include "sys/ProgramGuard.h"

int main(int argc, char** argv) {
    // An exception no layer expects (memory ran out) ends the run as a failure.
    return runGuarded("touchfw", -1, runMain, argc, argv);
}
