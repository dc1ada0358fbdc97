// touchfw: maintenance tool for touch-controller chips behind a HID device.
#include "app/App.h"

int main(int argc, char** argv) {
    return runMain(argc, argv);
}
