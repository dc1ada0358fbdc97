// emu: the chip emulator.
//
// Offers an emulated touch-controller chip per family that answers the
// tool's register frames, commands and raw command reports from the chip's
// side (EmulatedChip, composed of FrameDecoder, FamilyCommands, RegisterMap
// and EffectQueue), an emulated HID host with decoy interfaces that
// plugs into the HidHost seam (EmulatedHost), fault injection (Faults.h), a
// transcript of the wire and the waits (in the wire recording format),
// replay of a recording (Replay.h), state files for touchfw-emu,
// EmulatedSystem, which puts it all in place for a test in one line, and the
// chip as a real HID device through Linux's /dev/uhid (Uhid.h).
// Relies on: hid (the HidHost seam, the HID interface binding), chip (the
// family table, the chip profile, the configuration block check and
// builder), tlc (the framing versions and limits, constants only), fw (the
// image layout a family flashes with), sys (the virtual clock, byte
// helpers, the file lock), and on Linux the kernel's uhid interface.
// Never linked into touchfw.
#pragma once

#include "emu/EmulatedChip.h"
#include "emu/EmulatedHost.h"
#include "emu/EmulatedSystem.h"
#include "emu/Faults.h"
#include "emu/Replay.h"
#include "emu/SparseMemory.h"
#include "emu/Transcript.h"
#include "emu/Uhid.h"
