// touchfw_bench: the tool's hot paths against the machine's ceiling.
//
// - Frame/...: one register write of one report's payload (encode) and one
//   register read of one chunk (request and answer, decode) through a HID
//   interface that takes and answers at once: time per report.
// - Image/...: validation (length and checksum) of a 1 MiB image in memory,
//   and a whole load from the file, per layout: bytes per second.
// - Config/...: parsing of a 64 KiB configuration text in memory, and a
//   whole load from the file: bytes per second.
// - Log/...: a call whose level is masked, and a line written to the log file.
// - EmulatedUpdate: a whole firmware update of a 256 KiB image on the chip
//   emulator, in process on the virtual clock: time per update.
// - Ceiling/...: a read pass (sum of 64-bit words, 16 bytes at a time) and a
//   memcpy over buffers of the same sizes, in the same run: the floor of any
//   pass over the data.
#include <benchmark/benchmark.h>
#include <unistd.h>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/App.h"
#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "emu/EmulatedSystem.h"
#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "fw/FwUpdate.h"
#include "hid/HidInterface.h"
#include "log/Log.h"
#include "tests/InstantDevice.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr size_t kImageSize = 1u << 20;
constexpr size_t kConfigSize = 64u << 10;

// A scratch folder for the files of the load benchmarks and the log.
const std::string& scratchDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/touchfw-bench-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            std::perror("touchfw_bench: mkdtemp");
            std::exit(1);
        }
        return std::string(made);
    }();
    return dir;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(f);
}

// ---- frames ----

void useInstantDevice() {
    logLevel = 0x18;  // the tool's default: errors and critical lines
    *getHidInterface() = instantdevice::table();
}

const int kWritePayload[] = {0, 55, 53, 256};
const int kReadChunk[] = {0, 60, 60, 256};

void FrameEncode(benchmark::State& state) {
    const int version = static_cast<int>(state.range(0));
    useInstantDevice();
    TlcConnection connection;
    connection.protoType = version;
    std::vector<uint8_t> data(static_cast<size_t>(kWritePayload[version]), 0x5A);
    for (auto _ : state) {
        if (connection.write(0x10000, data.data(), kWritePayload[version], false) != 0)
            state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations());  // one report per write
}

void FrameDecode(benchmark::State& state) {
    const int version = static_cast<int>(state.range(0));
    useInstantDevice();
    TlcConnection connection;
    connection.protoType = version;
    std::vector<uint8_t> data(static_cast<size_t>(kReadChunk[version]));
    for (auto _ : state) {
        if (connection.read(0x10000, data.data(), kReadChunk[version], false) != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed(state.iterations());  // one request and one answer per read
}

// ---- images ----

int32_t chipOfLayout(int64_t layoutB) {
    return layoutB ? CHIP_FJORDK : CHIP_5415R;
}

// A 1 MiB image of the layout: two sub-firmwares filling it.
const std::vector<uint8_t>& image(int64_t layoutB) {
    static std::vector<uint8_t> images[2];
    std::vector<uint8_t>& bytes = images[layoutB ? 1 : 0];
    if (bytes.empty()) {
        const FwImageLayout& layout = *fwImageLayout(chipOfLayout(layoutB));
        const uint8_t vid[4] = {1, 2, 3, 4};
        const uint32_t dataSize = static_cast<uint32_t>(kImageSize - layout.dataOffset);
        const uint32_t first = dataSize / 2;
        std::vector<FwSubFirmware> subs = {
            {2, 0x10000, fwGeneratedData(0, 2, 0x10000, first)},
            {3, 0x90000, fwGeneratedData(1, 3, 0x90000, dataSize - first)}};
        std::string error;
        if (!buildFwImage(layout, "BENCH", vid, subs, bytes, error)) {
            std::fprintf(stderr, "touchfw_bench: %s\n", error.c_str());
            std::exit(1);
        }
    }
    return bytes;
}

void ImageValidate(benchmark::State& state) {
    logLevel = 0x18;
    const std::vector<uint8_t>& bytes = image(state.range(0));
    std::unique_ptr<FwImage> fw = createFwImage(chipOfLayout(state.range(0)));
    for (auto _ : state) {
        if (!fw->checkFw(bytes.data(), static_cast<uint32_t>(bytes.size())))
            state.SkipWithError("image refused");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void ImageLoad(benchmark::State& state) {
    logLevel = 0x18;
    const std::vector<uint8_t>& bytes = image(state.range(0));
    const std::string path = scratchDir() + (state.range(0) ? "/image-b.bin" : "/image-a.bin");
    writeFile(path, bytes);
    std::unique_ptr<FwImage> fw = createFwImage(chipOfLayout(state.range(0)));
    for (auto _ : state) {
        if (fw->load(path.c_str()) != 0)
            state.SkipWithError("image refused");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

// ---- configuration ----

// 64 KiB of "0xAB, " tokens, sixteen to a line, as configuration files are.
const std::vector<uint8_t>& configText() {
    static std::vector<uint8_t> text;
    if (text.empty()) {
        char token[8];
        for (unsigned i = 0; text.size() < kConfigSize; ++i) {
            std::snprintf(token, sizeof token, "0x%02X,%c", (i * 29 + 7) & 0xFF,
                          i % 16 == 15 ? '\n' : ' ');
            text.insert(text.end(), token, token + std::strlen(token));
        }
        text.resize(kConfigSize);
    }
    return text;
}

void ConfigParse(benchmark::State& state) {
    logLevel = 0x18;
    const std::vector<uint8_t>& text = configText();
    CfgImageFjordK cfg;
    for (auto _ : state) {
        if (cfg.parseText(text.data(), text.size()) != 0)
            state.SkipWithError("configuration refused");
        benchmark::DoNotOptimize(cfg.cfgData.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void ConfigLoad(benchmark::State& state) {
    logLevel = 0x18;
    const std::string path = scratchDir() + "/config.cfg";
    writeFile(path, configText());
    CfgImageFjordK cfg;
    for (auto _ : state) {
        if (cfg.load(path.c_str()) != 0)
            state.SkipWithError("configuration refused");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(configText().size()));
}

// ---- log ----

void LogMasked(benchmark::State& state) {
    logLevel = 0x18;
    logMessage = logToFile;
    int i = 0;
    for (auto _ : state) {
        LOG_DEBUG("bench::LogMasked", "Write %d byte%s successfully.\n", i, "s");
        benchmark::DoNotOptimize(++i);
    }
}

void LogWritten(benchmark::State& state) {
    logLevel = 0x1F;
    logMessage = logToFile;
    setLogFolder(scratchDir().c_str());
    int i = 0;
    for (auto _ : state) {
        LOG_INFO("bench::LogWritten", "Write %d byte%s successfully.\n", i, "s");
        ++i;
    }
    logLevel = 0x18;
    std::remove(logPath);
}

// ---- the emulated chip ----

// A whole firmware update of a 256 KiB image in process, on the emulated
// chip and the virtual clock (no wait is slept): the tool's work and the
// emulator's together, the emulator built and torn down outside the timing.
void EmulatedUpdate(benchmark::State& state) {
    const uint32_t length = 256u << 10;
    const uint8_t vid[4] = {0x03, 0x00, 0x02, 0x00};
    std::vector<uint8_t> image;
    std::string error;
    // The identity block gives the restarted chip the image's Vid, which the update checks.
    FwSubFirmware sub{2, 0, fwIdentityBlock("0121", vid)};
    const std::vector<uint8_t> data = fwGeneratedData(0, 2, 0, length - kFwIdentityBlockSize);
    sub.data.insert(sub.data.end(), data.begin(), data.end());
    if (!buildFwImage(*fwImageLayout(CHIP_FJORDK), "0121", vid, {sub}, image, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string path = scratchDir() + "/update.bin";
    writeFile(path, image);
    std::optional<emu::EmulatedSystem> sys;
    for (auto _ : state) {
        state.PauseTiming();
        sys.reset();
        resetProcessState();  // a fresh run: no device kept from the last one
        logLevel = 0x18;
        emu::SystemOptions options;
        options.twin = false;
        sys.emplace(CHIP_FJORDK, options);
        sys->chip().setTranscriptRecording(false);
        state.ResumeTiming();
        if (fwUpdateWithFile(path.c_str(), true, kDefaultFwFlag, nullptr) != 0) {
            state.SkipWithError("the update failed");
            break;
        }
    }
    sys.reset();
    resetProcessState();
    state.SetBytesProcessed(state.iterations() * int64_t{length});
}

// ---- ceiling: plain passes over buffers of the same sizes ----

// Sum of the 64-bit words of `data`. A plain word loop stays scalar at the
// default -O2 (GCC 12 does not vectorise it), which would halve the ceiling:
// the pass reads 64 bytes per step in four 16-byte lanes, as wide as the
// checksum loops it is compared with.
uint64_t readPass(const uint8_t* data, size_t size) {
    size_t i = 0;
    uint64_t sum = 0;
#if defined(__SSE2__) || defined(_M_X64)
    // Four named accumulators: an array of them would be kept on the stack.
    __m128i acc0 = _mm_setzero_si128();
    __m128i acc1 = acc0;
    __m128i acc2 = acc0;
    __m128i acc3 = acc0;
    for (; i + 64 <= size; i += 64) {
        const __m128i* p = reinterpret_cast<const __m128i*>(data + i);
        acc0 = _mm_add_epi64(acc0, _mm_loadu_si128(p));
        acc1 = _mm_add_epi64(acc1, _mm_loadu_si128(p + 1));
        acc2 = _mm_add_epi64(acc2, _mm_loadu_si128(p + 2));
        acc3 = _mm_add_epi64(acc3, _mm_loadu_si128(p + 3));
    }
    alignas(16) uint64_t words[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(words),
                    _mm_add_epi64(_mm_add_epi64(acc0, acc1), _mm_add_epi64(acc2, acc3)));
    sum = words[0] + words[1];
#endif
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        sum += word;
    }
    return sum;
}

void CeilingReadPass(benchmark::State& state) {
    const std::vector<uint8_t> buffer(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(readPass(buffer.data(), buffer.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void CeilingMemcpy(benchmark::State& state) {
    const std::vector<uint8_t> from(static_cast<size_t>(state.range(0)), 0x5A);
    std::vector<uint8_t> to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(FrameEncode)->ArgName("framing")->DenseRange(kTlcFramingV1, kTlcFramingV3);
BENCHMARK(FrameDecode)->ArgName("framing")->DenseRange(kTlcFramingV1, kTlcFramingV3);
BENCHMARK(ImageValidate)->ArgName("layoutB")->DenseRange(0, 1);
BENCHMARK(ImageLoad)->ArgName("layoutB")->DenseRange(0, 1);
BENCHMARK(ConfigParse);
BENCHMARK(ConfigLoad);
BENCHMARK(LogMasked);
BENCHMARK(LogWritten);
BENCHMARK(EmulatedUpdate)->Unit(benchmark::kMillisecond);
BENCHMARK(CeilingReadPass)->Arg(kImageSize)->Arg(kConfigSize);
BENCHMARK(CeilingMemcpy)->Arg(kImageSize)->Arg(kConfigSize);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* name : {"/image-a.bin", "/image-b.bin", "/config.cfg", "/update.bin"})
        std::remove((scratchDir() + name).c_str());
    rmdir(scratchDir().c_str());
    return 0;
}
