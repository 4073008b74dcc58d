// A file on disk as a byte source.
#pragma once

#include <cstdio>
#include <string>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

class CKVAAudioLocalSource : public IKVASourceIO {
public:
    CKVAAudioLocalSource(uint32_t sessionId, const char* path);
    ~CKVAAudioLocalSource() override;

    uint32_t GetSessionId() override { return mSessionId; }
    int32_t Open() override;
    int32_t Read(uint8_t* buffer, int32_t* length) override;
    int32_t Seek(int64_t* position, int32_t whence) override;
    double GetRatio() override { return 1.0; }
    void Reserved() override {}
    void Abort() override {}
    void Close() override;
    int64_t GetSize() override { return mSize; }
    int64_t GetAvailableSize() override { return mSize; }
    bool SupportFastSeek() override { return true; }
    // 0, or kDetailFileBase + the errno of the failed open or read.
    int32_t GetErrorCode() override { return mLastError; }
    const char* GetSessionIdText() override;
    void CancelReading(bool cancel) override;
    void SeekDone(uint8_t* done) override;

private:
    FILE* mFile = nullptr;
    int64_t mSize = 0;  // 64-bit: long lossless media pass 2 GiB
    std::string mPath;
    int32_t mCancel = 0;
    int32_t mLastError = 0;
    uint32_t mSessionId;
    std::string mSessionIdText;
};

// Decimal text of a session id, read as signed.
std::string SessionIdToText(uint32_t sessionId);

}  // namespace kva_audioplayer
