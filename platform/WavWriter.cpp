#include "platform/WavWriter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "support/Log.h"

namespace kva_audioplayer {
namespace snd {

namespace {

// Writers still open when the process ends get their header completed by an exit handler.
struct OpenWriters {
    std::mutex mutex;
    std::set<WavWriter*> writers;
};

void FinalizeAllAtExit();

OpenWriters& Registry() {
    // Never destroyed: the exit handler may run after static destructors.
    static OpenWriters* registry = [] {
        auto* r = new OpenWriters();
        std::atexit(FinalizeAllAtExit);
        return r;
    }();
    return *registry;
}

void FinalizeAllAtExit() {
    OpenWriters& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (WavWriter* w : r.writers) w->Finalize();
}

void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t DefaultMask(int32_t channels) {
    switch (channels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 3: return 0x7;
    case 4: return 0x33;
    case 5: return 0x37;
    case 6: return 0x3F;
    case 7: return 0x13F;
    case 8: return 0x63F;
    default: return 0;
    }
}

}  // namespace

WavWriter::~WavWriter() { Close(); }

bool WavWriter::Open(const std::string& path, int32_t sampleRate, int32_t channels,
                     uint32_t channelMask) {
    if (sampleRate <= 0 || channels <= 0 || channels > 32) return false;
    Close();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        KVA_LOG(kLogError, "WavWriter::Open cannot create %s", path.c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mFile = f;
        mPath = path;
        mRate = sampleRate;
        mChannels = channels;
        mMask = channelMask ? channelMask : DefaultMask(channels);
        mFrames = 0;
        WriteHeaderLocked();
    }
    OpenWriters& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.writers.insert(this);
    return true;
}

// RIFF header with a WAVE_FORMAT_EXTENSIBLE fmt chunk (float sub-format), a fact chunk and
// the data chunk header: 12 + 8 + 40 + 8 + 4 + 8 = 80 bytes.
void WavWriter::WriteHeaderLocked() {
    if (!mFile) return;
    uint8_t h[kHeaderBytes];
    std::memset(h, 0, sizeof(h));
    const uint32_t blockAlign = uint32_t(mChannels) * 4;
    uint64_t dataBytes64 = mFrames * blockAlign;
    const uint32_t dataBytes =
        uint32_t(std::min<uint64_t>(dataBytes64, 0xFFFFFFFFull - kHeaderBytes));
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, kHeaderBytes - 8 + dataBytes);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    Put32(h + 16, 40);
    Put16(h + 20, 0xFFFE);
    Put16(h + 22, uint16_t(mChannels));
    Put32(h + 24, uint32_t(mRate));
    Put32(h + 28, uint32_t(mRate) * blockAlign);
    Put16(h + 32, uint16_t(blockAlign));
    Put16(h + 34, 32);
    Put16(h + 36, 22);
    Put16(h + 38, 32);
    Put32(h + 40, mMask);
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT {00000003-0000-0010-8000-00aa00389b71}
    static const uint8_t kFloatGuid[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    std::memcpy(h + 44, kFloatGuid, 16);
    std::memcpy(h + 60, "fact", 4);
    Put32(h + 64, 4);
    Put32(h + 68, uint32_t(std::min<uint64_t>(mFrames, 0xFFFFFFFFull)));
    std::memcpy(h + 72, "data", 4);
    Put32(h + 76, dataBytes);
    long end = std::ftell(mFile);
    std::fseek(mFile, 0, SEEK_SET);
    std::fwrite(h, 1, sizeof(h), mFile);
    if (end > long(kHeaderBytes)) std::fseek(mFile, end, SEEK_SET);
    std::fflush(mFile);
    mDirty = false;
}

bool WavWriter::Append(const float* samples, uint32_t frames) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mFile || frames == 0) return mFile != nullptr;
    size_t count = size_t(frames) * size_t(mChannels);
    if (std::fwrite(samples, sizeof(float), count, mFile) != count) {
        KVA_LOG(kLogError, "WavWriter::Append write failed on %s", mPath.c_str());
        return false;
    }
    mFrames += frames;
    mDirty = true;
    return true;
}

void WavWriter::Finalize() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFile && mDirty) WriteHeaderLocked();
}

void WavWriter::CloseLocked() {
    if (!mFile) return;
    WriteHeaderLocked();
    std::fclose(mFile);
    mFile = nullptr;
}

void WavWriter::Close() {
    {
        OpenWriters& r = Registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.writers.erase(this);
    }
    std::lock_guard<std::mutex> lock(mMutex);
    CloseLocked();
}

bool WavWriter::IsOpen() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mFile != nullptr;
}

uint64_t WavWriter::Frames() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mFrames;
}

}  // namespace snd
}  // namespace kva_audioplayer
