#include "cfg/InputFile.h"

#include <string>

#include "log/Log.h"
#include "sys/Files.h"

int32_t readInputFile(const char* fileName, uint64_t maxBytes, const InputFileTexts& texts,
                      std::vector<uint8_t>* out, uint64_t* size) {
    const char* fn = texts.function;
    const char* lead = texts.lead;
    if (fileName == nullptr) {
        LOG_ERROR(fn, "%s%s file name cannot be NULL.\n", lead, texts.nameTitle);
        return -1;
    }
    const std::string name = logSafeText(fileName);
    uint64_t fileSize = 0;
    uint32_t osError = 0;
    const FileReadError read = readRegularFile(fileName, maxBytes, out, &fileSize, &osError);
    if (read == FileReadError::openFailed || read == FileReadError::notRegular) {
        LOG_ERROR(fn, "%sOpen %s file failed. filename = %s.\n", lead, texts.fileKind,
                  name.c_str());
        return -2;
    }
    LOG_INFO(fn, "%sOpen %s file successfully. filename = %s.\n", lead, texts.fileKind,
             name.c_str());
    if (size != nullptr)
        *size = fileSize;
    // The size as the 32 bits the loaders keep.
    const int loggedSize = static_cast<int>(static_cast<uint32_t>(fileSize));
    LOG_INFO(fn, "%s%s file size%s%d%s.\n", lead, texts.fileTitle, texts.sizeIs, loggedSize,
             texts.sizeUnit);
    switch (read) {
        case FileReadError::none:
            return 0;
        case FileReadError::tooLarge:
            LOG_ERROR(
                fn,
                "%s%s file of %llu bytes is larger than any %s (at most %llu bytes); not read.\n",
                lead, texts.fileTitle, static_cast<unsigned long long>(fileSize), texts.largestKind,
                static_cast<unsigned long long>(maxBytes));
            return -3;
        case FileReadError::noMemory:
            LOG_ERROR(fn, "%sAllocate memory for %s failed.\n", lead, texts.bufferName);
            return -3;
        default:
            break;
    }
    if (osError != 0) {
        LOG_ERROR(fn, "%sRead %s file failed. Error code: 0x%02X.\n", lead, texts.fileKind,
                  osError);
        return -4;
    }
    LOG_ERROR(fn, "%sRead file failed, bin file length(%d), read length(%d).\n", lead, loggedSize,
              static_cast<int>(out->size()));
    return -5;
}
