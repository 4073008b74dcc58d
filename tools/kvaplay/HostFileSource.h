// kvaplay's own byte source for local files, handed to SetNextSourceIO.
#pragma once

#include <cerrno>
#include <cstdio>
#include <string>

#include "KvaAudioPlayer.h"

namespace kvaplay {

class HostFileSource : public kva_audioplayer::IKVASourceIO {
public:
    HostFileSource(uint32_t sessionId, std::string path)
        : mPath(std::move(path)), mSessionId(sessionId), mText(std::to_string(sessionId)) {}
    ~HostFileSource() override { Close(); }

    uint32_t GetSessionId() override { return mSessionId; }
    int32_t Open() override {
        Close();
        mFile = fopen(mPath.c_str(), "rb");
        // The errno detail lets the player tell a missing file from an unreadable one.
        mError = mFile ? 0 : kva_audioplayer::kDetailFileBase + errno;
        if (!mFile) return kva_audioplayer::kSourceOpenFailed;
        fseeko(mFile, 0, SEEK_END);
        mSize = ftello(mFile);
        fseeko(mFile, 0, SEEK_SET);
        return 0;
    }
    int32_t Read(uint8_t* buffer, int32_t* length) override {
        if (!mFile || !buffer || !length) return kva_audioplayer::kSourceBadArgument;
        size_t got = fread(buffer, 1, static_cast<size_t>(*length > 0 ? *length : 0), mFile);
        *length = static_cast<int32_t>(got);
        return got > 0 || feof(mFile) ? 0 : kva_audioplayer::kSourceReadError;
    }
    int32_t Seek(int64_t* position, int32_t whence) override {
        if (!mFile || !position) return kva_audioplayer::kSourceBadArgument;
        int how = whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : SEEK_SET;
        if (fseeko(mFile, *position, how) != 0) return kva_audioplayer::kSourceReadError;
        *position = ftello(mFile);
        return 0;
    }
    double GetRatio() override { return 1.0; }
    void Reserved() override {}
    void Abort() override {}
    void Close() override {
        if (mFile) fclose(mFile);
        mFile = nullptr;
    }
    int64_t GetSize() override { return mSize; }
    int64_t GetAvailableSize() override { return mSize; }
    bool SupportFastSeek() override { return true; }
    int32_t GetErrorCode() override { return mError; }
    const char* GetSessionIdText() override { return mText.c_str(); }
    void CancelReading(bool) override {}
    void SeekDone(uint8_t*) override {}

private:
    std::string mPath;
    FILE* mFile = nullptr;
    int64_t mSize = 0;
    int32_t mError = 0;
    uint32_t mSessionId;
    std::string mText;
};

}  // namespace kvaplay
