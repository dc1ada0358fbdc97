// Configuration update: writing a configuration block into the chip's
// configuration area and checking that the chip took it.
//
// One download is a conversation on the command register: announce the
// download (start command, acknowledged), write the whole zero-padded block
// to cfgAddr, announce its end (finish command, acknowledged). The chip's
// configuration version read back afterwards is the acceptance test. 5410
// and 5415R have their own start / finish checks; the fjord family and
// Corvina use the acknowledged command (FjordKSendCfgCmd).
#pragma once

#include <cstdint>

class CfgImage;
class TlcConnection;

// Run-mode entry: loads the file into the image of the chip family and runs
// cfgUpdateHelper. -1 unsupported chip type; -3 the file did not load, or
// its block fails the chip's configuration check (nothing is sent);
// otherwise the result of cfgUpdateHelper.
int32_t cfgUpdateWithFile(const char* cfgFile, bool ignoreVer, bool verify = false);

// Opens its own connection, pauses reporting, compares versions (unless
// ignoreVer), then up to five downloads each checked by the version read
// back. Whatever happens the chip is reset, reporting resumed, the
// connection closed and the image's data released.
// With `verify`, a run that would succeed (updated or nothing to do) reads
// the restarted chip's configuration area back and compares it with the
// block (cfg/CfgVerify.h) before reporting is resumed.
// 0 updated or nothing to do; -1 open or disabling reporting failed; -2 the
// version read before the update failed; -5 every attempt failed; -6 the
// update (or the finding that none was needed) succeeded but the chip was
// not put back: the session end (5415R), the restart or the enable failed;
// -10 stopped by an interrupt (before the download, instead of a retry after
// a second one, or after a finished update; never inside a download
// attempt); kCfgVerifyDiffers, kCfgVerifyUnread the read-back failed.
int32_t cfgUpdateHelper(CfgImage& image, bool ignoreVer, bool verify = false);

// What the last configuration update of this run found out, for the run's
// result: the file's version and the chip's before and after.
struct CfgUpdateFacts {
    bool fileLoaded = false;
    bool chipReadBefore = false;
    bool chipReadAfter = false;
    bool written = false;  // a download was started
    uint8_t fileVersion = 0;
    uint8_t chipVersionBefore = 0;
    uint8_t chipVersionAfter = 0;
};
const CfgUpdateFacts& lastCfgUpdateFacts();
void resetCfgUpdateFacts();

// One download over an open connection. 0 success; -1 or -2 the start step
// failed; -3 the image holds no data; -4 writing the data failed; otherwise
// the result of cfgUpdateSendFinish.
int32_t cfgUpdateWithConnection(TlcConnection& connection, CfgImage& image);

// The start step: 0; -1 unsupported chip type or start command not written;
// -2 the chip did not acknowledge.
int32_t cfgUpdateStartUpdateCfg(TlcConnection& connection);

// The finish step: 0 success. 5410: -5 command not written, -6 not
// acknowledged. 5415R: -5 command not written, -1 not acknowledged (or the
// answer could not be read). Fjord family: -1 write-done command not
// acknowledged, -2 finish command not acknowledged. -1 for any other chip.
int32_t cfgUpdateSendFinish(TlcConnection& connection);
