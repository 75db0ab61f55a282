// The tool's own cost per chunk, against the least any tool could do, and the
// accuracy of the pause between chunks. Run through bench/run.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "flash/chunk_transfer.h"
#include "flash/firmware_image.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"

namespace {
const uint32_t LargestImage = FIRMWARE_MAX_CHUNKS * FIRMWARE_CHUNK_DATA_MAX;
uint32_t LastPart;
uint64_t Taken;

// A device that takes every chunk at once; it refuses the last one, so that
// the run ends there instead of in the minute-long completion wait.
SdkBool TakeChunk(SdkHandle, uint32_t, uint8_t* chunk) {
    Taken += chunk[FIRMWARE_CHUNK_DATA];
    return ReadU16(chunk, FIRMWARE_CHUNK_PART) != LastPart;
}
int32_t ErrorCode(SdkHandle) {
    return 1;
}
const char* ErrorText(SdkHandle, int32_t) {
    return "last chunk";
}

void WriteImage(const char* path, uint32_t firmwareSize) {
    std::vector<uint8_t> file(FIRMWARE_HEADER_SIZE + firmwareSize);
    for (size_t i = 0; i < file.size(); i++) {
        file[i] = (uint8_t)(i * 31);
    }
    WriteU32(file.data(), FIRMWARE_HEADER_SIZE_BYTES, firmwareSize);
    WriteU16(file.data(), FIRMWARE_HEADER_OFFSET, FIRMWARE_HEADER_SIZE / 2);
    FILE* out = fopen(path, "wb");
    fwrite(file.data(), 1, file.size(), out);
    fclose(out);
}

// The tool's console output would swamp the report; it goes to /dev/null,
// which still costs the tool its writes.
struct QuietConsole {
    int saved = dup(STDOUT_FILENO);
    QuietConsole() {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietConsole() {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
};

void Transfer(benchmark::State& state, uint32_t firmwareSize, uint32_t waitTime) {
    WriteImage("kovi_firmware.bin", firmwareSize);
    LastPart = ChunkCountFor(firmwareSize) - 1;
    for (auto _ : state) {
        QuietConsole quiet;
        FirmwareImage image;
        FlashReport report = {};
        FlashOptions options = {};
        options.waitTime = waitTime;
        if (OpenFirmwareImage(&image, "kovi_firmware.bin", false, false) != FLASH_GOES_ON ||
            TransferFirmware(nullptr, options, image, &report) != FLASH_CHUNK_REFUSED) {
            state.SkipWithError("transfer did not run to its last chunk");
        }
        ReleaseFirmwareImage(&image, FLASH_GOES_ON);
        CloseLog();
    }
    state.counters["chunks"] = ChunkCountFor(firmwareSize);
    state.counters["per_chunk"] = benchmark::Counter(ChunkCountFor(firmwareSize),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void BM_TransferLargestImage(benchmark::State& state) {
    Transfer(state, LargestImage, 0);
}

// The irreducible work: read the firmware in 30-byte pieces and hand each
// to the device through a function pointer.
void BM_BaselineLargestImage(benchmark::State& state) {
    WriteImage("kovi_firmware.bin", LargestImage);
    LastPart = FIRMWARE_MAX_CHUNKS - 1;
    KoviKestruneFn device = TakeChunk;
    for (auto _ : state) {
        FILE* stream = fopen("kovi_firmware.bin", "rb");
        fseek(stream, FIRMWARE_HEADER_SIZE, SEEK_SET);
        uint8_t chunk[FIRMWARE_CHUNK_SIZE] = {};
        for (uint32_t part = 0; part < FIRMWARE_MAX_CHUNKS; part++) {
            WriteU16(chunk, FIRMWARE_CHUNK_PART, (uint16_t)part);
            if (fread(chunk + FIRMWARE_CHUNK_DATA, 1, FIRMWARE_CHUNK_DATA_MAX, stream) !=
                FIRMWARE_CHUNK_DATA_MAX) {
                state.SkipWithError("short read");
            }
            device(nullptr, 0, chunk);
        }
        fclose(stream);
    }
    state.counters["chunks"] = FIRMWARE_MAX_CHUNKS;
    state.counters["per_chunk"] =
        benchmark::Counter(FIRMWARE_MAX_CHUNKS, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

// 51 chunks, the last refused: 50 pauses of the given length, in real time.
void BM_Pacing(benchmark::State& state) {
    uint32_t waitTime = (uint32_t)state.range(0);
    Transfer(state, 51 * FIRMWARE_CHUNK_DATA_MAX, waitTime);
    state.counters["wait_ms"] = waitTime;
    state.counters["pauses"] = 50;
}
} // namespace

BENCHMARK(BM_TransferLargestImage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_BaselineLargestImage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Pacing)
    ->Arg(100)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

int main(int argc, char** argv) {
    std::string dir = "/tmp/kestrune-bench-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr || chdir(dir.c_str()) != 0) {
        return 1;
    }
    PlatformInit();
    Sdk.fpKoviKestrune = TakeChunk;
    Sdk.fpGetErrorCode = ErrorCode;
    Sdk.fpGetErrorCodeMessage = ErrorText;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cleanup = "rm -rf " + dir;
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
