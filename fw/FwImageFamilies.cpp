// The five family classes: where each family keeps its fields, and the
// family-specific Pid handling. Layout A decoding is the base class's; the
// layout B classes share the base's layout B implementations.
#include <cstring>

#include "fw/FwImage.h"
#include "log/Log.h"

// ---- FwImage_5410 (layout A) ----

FwImage_5410::FwImage_5410() : FwImage(&kFwLayout5410) {}

int32_t FwImage_5410::initPid() {
    LOG_DEBUG("FwImage_5410::initPid", "<FwImage_5410::initPid> Function begins.\n");
    int32_t result = 0;
    if (fwData.empty()) {
        LOG_ERROR("FwImage_5410::initPid",
                  "<FwImage_5410::initPid> FwImage_5410 initPid fwData is NULL.\n");
        result = -1;
    } else if (!buildPid(kFwLayout5410.pidOffset)) {
        LOG_ERROR("FwImage_5410::initPid",
                  "<FwImage_5410::initPid> FwImage_5410 initPid Pid lies outside the fw data (%u "
                  "bytes).\n",
                  static_cast<unsigned>(fwData.size()));
        result = -1;
    } else {
        LOG_INFO("FwImage_5410::initPid", "<FwImage_5410::initPid> FwImage_5410 Pid is %s.\n",
                 logSafeText(pid).c_str());
    }
    LOG_DEBUG("FwImage_5410::initPid", "<FwImage_5410::initPid> Function ends.\n");
    return result;
}

int32_t FwImage_5410::initVid() {
    LOG_DEBUG("FwImage_5410::initVid", "<FwImage_5410::initVid> Function begins.\n");
    int32_t result = 0;
    if (fwData.empty()) {
        LOG_ERROR("FwImage_5410::initVid", "FwImage_5410 initVid fwData is NULL.\n");
        result = -1;
    } else if (!copyVid(kFwLayout5410.vidOffset)) {
        LOG_ERROR("FwImage_5410::initVid",
                  "FwImage_5410 initVid Vid lies outside the fw data (%u bytes).\n",
                  static_cast<unsigned>(fwData.size()));
        result = -1;
    } else {
        LOG_INFO("FwImage_5410::initVid",
                 "<FwImage_5410::initVid> FwImage_5410 Vid is %02X %02X %02X %02X.\n", vid[0],
                 vid[1], vid[2], vid[3]);
    }
    LOG_DEBUG("FwImage_5410::initVid", "<FwImage_5410::initVid> Function ends.\n");
    return result;
}

int32_t FwImage_5410::getFwSubFwNum() {
    LOG_DEBUG("FwImage_5410::getFwSubFwNum", "<FwImage_5410::getFwSubFwNum>\n");
    const int32_t count = readCount(kFwLayout5410.countOffset);
    if (count < 0) {
        if (fwData.empty()) {
            LOG_ERROR("FwImage_5410::getFwSubFwNum",
                      "<FwImage_5410::getFwSubFwNum> FwImage_5410 getFwSubFwNum fwData is NULL.\n");
        } else {
            LOG_ERROR("FwImage_5410::getFwSubFwNum",
                      "<FwImage_5410::getFwSubFwNum> FwImage_5410 getFwSubFwNum count lies "
                      "outside the fw data (%u bytes).\n",
                      static_cast<unsigned>(fwData.size()));
        }
        LOG_DEBUG("FwImage_5410::getFwSubFwNum", "<FwImage_5410::getFwSubFwNum> Failed.\n");
        return 0;
    }
    LOG_DEBUG("FwImage_5410::getFwSubFwNum", "<FwImage_5410::getFwSubFwNum> Success.\n");
    return count;
}

int32_t FwImage_5410::getFwSubFwInfoOffset() {
    LOG_DEBUG("FwImage_5410::getFwSubFwInfoOffset", "<FwImage_5410::getFwSubFwInfoOffset>\n");
    return static_cast<int32_t>(kFwLayout5410.tableOffset);
}

int32_t FwImage_5410::getFwSubFwDataOffset() {
    LOG_DEBUG("FwImage_5410::getFwSubFwDataOffset", "<FwImage_5410::getFwSubFwDataOffset>\n");
    return static_cast<int32_t>(kFwLayout5410.dataOffset);
}

// ---- FwImage_5415R (layout A) ----

FwImage_5415R::FwImage_5415R() : FwImage(&kFwLayout5415R) {}

int32_t FwImage_5415R::initPid() {
    LOG_DEBUG("FwImage_5415R::initPid", "<FwImage_5415R::initPid> Function begins.\n");
    int32_t result = 0;
    if (fwData.empty()) {
        LOG_ERROR("FwImage_5415R::initPid",
                  "<FwImage_5415R::initPid> FwImage_5415R initPid fwData is NULL.\n");
        result = -1;
    } else if (!buildPid(kFwLayout5415R.pidOffset)) {
        LOG_ERROR("FwImage_5415R::initPid",
                  "<FwImage_5415R::initPid> FwImage_5415R initPid Pid lies outside the fw data "
                  "(%u bytes).\n",
                  static_cast<unsigned>(fwData.size()));
        result = -1;
    } else if (std::strncmp(pid, "5415R", 5) == 0) {
        // The chip of a 5415R image reports its product id as 5416.
        LOG_INFO("FwImage_5415R::initPid",
                 "<FwImage_5415R::initPid> FwImage_5415R Pid is 5415R (5416).\n");
        std::memset(pid, 0, sizeof pid);
        std::memcpy(pid, "5416", 4);
    } else {
        LOG_INFO("FwImage_5415R::initPid", "<FwImage_5415R::initPid> FwImage_5415R Pid is %s.\n",
                 logSafeText(pid).c_str());
    }
    LOG_DEBUG("FwImage_5415R::initPid", "<FwImage_5415R::initPid> Function ends.\n");
    return result;
}

int32_t FwImage_5415R::initVid() {
    LOG_DEBUG("FwImage_5415R::initVid", "<FwImage_5415R::initVid> Function begins.\n");
    int32_t result = 0;
    if (fwData.empty()) {
        LOG_ERROR("FwImage_5415R::initVid", "FwImage_5415R initVid fwData is NULL.\n");
        result = -1;
    } else if (!copyVid(kFwLayout5415R.vidOffset)) {
        LOG_ERROR("FwImage_5415R::initVid",
                  "FwImage_5415R initVid Vid lies outside the fw data (%u bytes).\n",
                  static_cast<unsigned>(fwData.size()));
        result = -1;
    } else {
        LOG_INFO("FwImage_5415R::initVid",
                 "<FwImage_5415R::initVid> FwImage_5415R Vid is %02X %02X %02X %02X.\n", vid[0],
                 vid[1], vid[2], vid[3]);
    }
    LOG_DEBUG("FwImage_5415R::initVid", "<FwImage_5415R::initVid> Function ends.\n");
    return result;
}

int32_t FwImage_5415R::getFwSubFwNum() {
    LOG_DEBUG("FwImage_5415R::getFwSubFwNum", "<FwImage_5415R::getFwSubFwNum>\n");
    const int32_t count = readCount(kFwLayout5415R.countOffset);
    if (count < 0) {
        if (fwData.empty()) {
            LOG_ERROR(
                "FwImage_5415R::getFwSubFwNum",
                "<FwImage_5415R::getFwSubFwNum> FwImage_5415R getFwSubFwNum fwData is NULL.\n");
        } else {
            LOG_ERROR("FwImage_5415R::getFwSubFwNum",
                      "<FwImage_5415R::getFwSubFwNum> FwImage_5415R getFwSubFwNum count lies "
                      "outside the fw data (%u bytes).\n",
                      static_cast<unsigned>(fwData.size()));
        }
        LOG_DEBUG("FwImage_5415R::getFwSubFwNum", "<FwImage_5415R::getFwSubFwNum> Failed.\n");
        return 0;
    }
    LOG_DEBUG("FwImage_5415R::getFwSubFwNum", "<FwImage_5415R::getFwSubFwNum> Success.\n");
    return count;
}

int32_t FwImage_5415R::getFwSubFwInfoOffset() {
    LOG_DEBUG("FwImage_5415R::getFwSubFwInfoOffset", "<FwImage_5415R::getFwSubFwInfoOffset>\n");
    return static_cast<int32_t>(kFwLayout5415R.tableOffset);
}

int32_t FwImage_5415R::getFwSubFwDataOffset() {
    LOG_DEBUG("FwImage_5415R::getFwSubFwDataOffset", "<FwImage_5415R::getFwSubFwDataOffset>\n");
    return static_cast<int32_t>(kFwLayout5415R.dataOffset);
}

// ---- layout B families ----

FwImage_FjordH3::FwImage_FjordH3() : FwImage(&kFwLayoutFjordH3) {}
int32_t FwImage_FjordH3::initPid() {
    return initPidLayoutB();
}
int32_t FwImage_FjordH3::initVid() {
    return initVidLayoutB();
}
const uint8_t* FwImage_FjordH3::getFwSubInfo(int32_t i) {
    return getFwSubInfoLayoutB(i);
}
int32_t FwImage_FjordH3::getFwSubFwNum() {
    return getFwSubFwNumLayoutB();
}
int32_t FwImage_FjordH3::getFwSubFwInfoOffset() {
    return static_cast<int32_t>(kFwLayoutFjordH3.tableOffset);
}
int32_t FwImage_FjordH3::getFwSubFwDataOffset() {
    return static_cast<int32_t>(kFwLayoutFjordH3.dataOffset);
}
uint32_t FwImage_FjordH3::getFwSubFwLen(int32_t i) {
    return getFwSubFwLenLayoutB(i);
}
uint32_t FwImage_FjordH3::getFwSubFwAddr(int32_t i) {
    return getFwSubFwAddrLayoutB(i);
}
bool FwImage_FjordH3::checkFw(const uint8_t* data, uint32_t totalLen) {
    return checkFwLayoutB(data, totalLen);
}

FwImage_Corvina::FwImage_Corvina() : FwImage(&kFwLayoutCorvina) {}
int32_t FwImage_Corvina::initPid() {
    return initPidLayoutB();
}
int32_t FwImage_Corvina::initVid() {
    return initVidLayoutB();
}
const uint8_t* FwImage_Corvina::getFwSubInfo(int32_t i) {
    return getFwSubInfoLayoutB(i);
}
int32_t FwImage_Corvina::getFwSubFwNum() {
    return getFwSubFwNumLayoutB();
}
int32_t FwImage_Corvina::getFwSubFwInfoOffset() {
    return static_cast<int32_t>(kFwLayoutCorvina.tableOffset);
}
int32_t FwImage_Corvina::getFwSubFwDataOffset() {
    return static_cast<int32_t>(kFwLayoutCorvina.dataOffset);
}
uint32_t FwImage_Corvina::getFwSubFwLen(int32_t i) {
    return getFwSubFwLenLayoutB(i);
}
uint32_t FwImage_Corvina::getFwSubFwAddr(int32_t i) {
    return getFwSubFwAddrLayoutB(i);
}
bool FwImage_Corvina::checkFw(const uint8_t* data, uint32_t totalLen) {
    return checkFwLayoutB(data, totalLen);
}

FwImage_FjordK::FwImage_FjordK() : FwImage(&kFwLayoutFjordK) {}
int32_t FwImage_FjordK::initPid() {
    return initPidLayoutB();
}
int32_t FwImage_FjordK::initVid() {
    return initVidLayoutB();
}
const uint8_t* FwImage_FjordK::getFwSubInfo(int32_t i) {
    return getFwSubInfoLayoutB(i);
}
int32_t FwImage_FjordK::getFwSubFwNum() {
    return getFwSubFwNumLayoutB();
}
int32_t FwImage_FjordK::getFwSubFwInfoOffset() {
    return static_cast<int32_t>(kFwLayoutFjordK.tableOffset);
}
int32_t FwImage_FjordK::getFwSubFwDataOffset() {
    return static_cast<int32_t>(kFwLayoutFjordK.dataOffset);
}
uint32_t FwImage_FjordK::getFwSubFwLen(int32_t i) {
    return getFwSubFwLenLayoutB(i);
}
uint32_t FwImage_FjordK::getFwSubFwAddr(int32_t i) {
    return getFwSubFwAddrLayoutB(i);
}
bool FwImage_FjordK::checkFw(const uint8_t* data, uint32_t totalLen) {
    return checkFwLayoutB(data, totalLen);
}
