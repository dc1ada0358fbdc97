// Touch-data mode: switching the chip into the mode in which it publishes
// raw, difference and baseline frames in registers, and back to normal mode.
// All functions work over the caller's open connection and never open or
// close it.
//
//   5410, 5415R   dataModeCmd to cmdAddr, then poll cmdAddr for 0xFF.
//   fjordK, fjordH3, Corvina, fjordK4
//                 dataModeCmd to cmdAddr, then the command status poll (0x80).
//   fjordK8       has no touch-data mode.
// A successful switch clears the frame-ready flag (0x00 to dataReadyAddr) so
// that the first frame read afterwards is a fresh one.
#pragma once

class TlcConnection;

// Takes the way of the family's data-mode column from the data-mode table;
// false for fjordK8 and unknown chip types.
bool SwitchToDataModel(TlcConnection& connection);
// Sends normalModeCmd once and waits 10 ms; the write's result (nothing is
// read back: the tool awaits no acknowledgement of it).
int SwitchOutDataModel(TlcConnection& connection);
