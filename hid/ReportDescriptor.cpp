#include "hid/ReportDescriptor.h"

#include <algorithm>
#include <limits>
#include <map>

namespace {

// Item types of the short item prefix (bits 2-3).
constexpr uint8_t kTypeMain = 0;
constexpr uint8_t kTypeGlobal = 1;
constexpr uint8_t kTypeLocal = 2;

// Main item tags.
constexpr uint8_t kTagInput = 0x8;
constexpr uint8_t kTagOutput = 0x9;
constexpr uint8_t kTagCollection = 0xA;
constexpr uint8_t kTagEndCollection = 0xC;

// Global item tags.
constexpr uint8_t kTagUsagePage = 0x0;
constexpr uint8_t kTagReportSize = 0x7;
constexpr uint8_t kTagReportId = 0x8;
constexpr uint8_t kTagReportCount = 0x9;
constexpr uint8_t kTagPush = 0xA;
constexpr uint8_t kTagPop = 0xB;

// Local item tags.
constexpr uint8_t kTagUsage = 0x0;
constexpr uint8_t kTagUsageMinimum = 0x1;

constexpr uint8_t kLongItemPrefix = 0xFE;
// Deeper Push nesting than any real descriptor uses; further pushes are ignored.
constexpr size_t kMaxGlobalStack = 32;

struct GlobalState {
    uint16_t usagePage = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

// Bits per report id, input and output, of one top-level collection.
struct ReportBits {
    std::map<uint8_t, uint64_t> input;
    std::map<uint8_t, uint64_t> output;
};

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

// Longest report in bytes plus the report id byte, limited to 16 bits.
uint16_t reportLength(const std::map<uint8_t, uint64_t>& bitsById) {
    if (bitsById.empty())
        return 0;
    uint64_t longest = 0;
    for (const auto& entry : bitsById)
        longest = std::max(longest, entry.second / 8 + (entry.second % 8 != 0 ? 1 : 0));
    return static_cast<uint16_t>(std::min<uint64_t>(longest + 1, 0xFFFF));
}

// The parser's state between items: the global items in force, the first
// usage since the last main item and the collections found so far.
class DescriptorParser {
  public:
    explicit DescriptorParser(ReportDescriptorInfo* info) : info_(info) {}

    void item(uint8_t type, uint8_t tag, uint32_t value, size_t dataSize) {
        if (type == kTypeGlobal) {
            globalItem(tag, value);
        } else if (type == kTypeLocal) {
            if ((tag == kTagUsage || tag == kTagUsageMinimum) && !haveUsage_) {
                haveUsage_ = true;
                firstUsage_ = value;
                firstUsageExtended_ = dataSize == 4;
            }
        } else if (type == kTypeMain) {
            mainItem(tag);
            // Local items apply to one main item only.
            haveUsage_ = false;
            firstUsage_ = 0;
            firstUsageExtended_ = false;
        }
    }

    // The collections' report lengths from the bits their reports hold.
    void finish() {
        for (size_t i = 0; i < info_->collections.size(); ++i) {
            info_->collections[i].inputReportLength = reportLength(bits_[i].input);
            info_->collections[i].outputReportLength = reportLength(bits_[i].output);
        }
    }

  private:
    void globalItem(uint8_t tag, uint32_t value) {
        switch (tag) {
            case kTagUsagePage:
                global_.usagePage = static_cast<uint16_t>(value);
                break;
            case kTagReportSize:
                global_.reportSize = value;
                break;
            case kTagReportId:
                global_.reportId = static_cast<uint8_t>(value);
                break;
            case kTagReportCount:
                global_.reportCount = value;
                break;
            case kTagPush:
                if (globalStack_.size() < kMaxGlobalStack)
                    globalStack_.push_back(global_);
                break;
            case kTagPop:
                if (!globalStack_.empty()) {
                    global_ = globalStack_.back();
                    globalStack_.pop_back();
                }
                break;
            default:
                break;
        }
    }

    void mainItem(uint8_t tag) {
        if (tag == kTagCollection) {
            if (depth_ == 0) {
                // A 1- or 2-byte usage takes the usage page in force now, at
                // the main item; a 4-byte usage carries its own page.
                HidCollectionInfo collection;
                collection.usagePage = firstUsageExtended_
                                           ? static_cast<uint16_t>(firstUsage_ >> 16)
                                           : global_.usagePage;
                collection.usage = haveUsage_ ? static_cast<uint16_t>(firstUsage_) : 0;
                info_->collections.push_back(collection);
                bits_.emplace_back();
            }
            ++depth_;
        } else if (tag == kTagEndCollection) {
            if (depth_ > 0)
                --depth_;
        } else if ((tag == kTagInput || tag == kTagOutput) && depth_ > 0 && !bits_.empty()) {
            const uint64_t itemBits =
                static_cast<uint64_t>(global_.reportSize) * global_.reportCount;
            auto& byId = tag == kTagInput ? bits_.back().input : bits_.back().output;
            byId[global_.reportId] = saturatingAdd(byId[global_.reportId], itemBits);
        }
    }

    ReportDescriptorInfo* info_;
    GlobalState global_;
    std::vector<GlobalState> globalStack_;
    // The first usage declared since the last main item: the collection's usage.
    bool haveUsage_ = false;
    uint32_t firstUsage_ = 0;
    bool firstUsageExtended_ = false;
    size_t depth_ = 0;
    std::vector<ReportBits> bits_;  // parallel to info_->collections
};

}  // namespace

ReportDescriptorInfo parseReportDescriptor(const uint8_t* data, size_t size) {
    ReportDescriptorInfo info;
    if (data == nullptr)
        size = 0;
    DescriptorParser parser(&info);
    size_t pos = 0;
    while (pos < size) {
        const uint8_t prefix = data[pos];
        const size_t left = size - pos - 1;  // bytes after the prefix
        if (prefix == kLongItemPrefix) {
            // Long item: data size, tag, data. No long item tags are defined; skip it.
            if (left < 2 || left - 2 < data[pos + 1]) {
                info.complete = false;
                break;
            }
            pos += 3 + static_cast<size_t>(data[pos + 1]);
            continue;
        }
        const size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        if (left < dataSize) {
            info.complete = false;
            break;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < dataSize; ++i) {
            value |= static_cast<uint32_t>(data[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + dataSize;
        parser.item((prefix >> 2) & 0x3, prefix >> 4, value, dataSize);
    }
    parser.finish();
    return info;
}
