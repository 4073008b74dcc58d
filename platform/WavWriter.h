// A 32-bit float WAV file written as audio arrives. The header's sizes are brought up to date on
// Finalize, which also runs for every open writer when the process ends normally.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kva_audioplayer {
namespace snd {

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();

    bool Open(const std::string& path, int32_t sampleRate, int32_t channels, uint32_t channelMask);
    // Appends interleaved float frames.
    bool Append(const float* samples, uint32_t frames);
    // Rewrites the header for what is written so far; the file stays open for more.
    void Finalize();
    void Close();
    bool IsOpen();
    uint64_t Frames();
    const std::string& Path() const { return mPath; }

    static constexpr uint32_t kHeaderBytes = 80;

    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

private:
    void WriteHeaderLocked();
    void CloseLocked();

    std::mutex mMutex;
    FILE* mFile = nullptr;
    std::string mPath;
    int32_t mRate = 0;
    int32_t mChannels = 0;
    uint32_t mMask = 0;
    uint64_t mFrames = 0;
    bool mDirty = false;
};

}  // namespace snd
}  // namespace kva_audioplayer
