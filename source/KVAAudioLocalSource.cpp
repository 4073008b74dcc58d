#include "source/KVAAudioLocalSource.h"

#include <sys/stat.h>

#include <cerrno>

#include "support/Log.h"

namespace kva_audioplayer {

std::string SessionIdToText(uint32_t sessionId) {
    return std::to_string(static_cast<int32_t>(sessionId));
}

CKVAAudioLocalSource::CKVAAudioLocalSource(uint32_t sessionId, const char* path)
    : mPath(path ? path : ""), mSessionId(sessionId) {}

CKVAAudioLocalSource::~CKVAAudioLocalSource() { Close(); }

int32_t CKVAAudioLocalSource::Open() {
    Close();
    mLastError = 0;
    // A folder opens as a file here and fails only when read: refuse it by name.
    struct stat st;
    if (stat(mPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        mLastError = kDetailFileBase + EISDIR;
        return kSourceOpenFailed;
    }
    mFile = fopen(mPath.c_str(), "rb");
    KVA_LOG(kLogDetail, "CKVAAudioLocalSource::Open url %s, handle_ %ld", mPath.c_str(),
            reinterpret_cast<long>(mFile));
    if (!mFile) {
        mLastError = kDetailFileBase + errno;
        return kSourceOpenFailed;
    }
    fseeko(mFile, 0, SEEK_END);
    off_t end = ftello(mFile);
    mSize = end > 0 ? static_cast<int64_t>(end) : 0;
    fseeko(mFile, 0, SEEK_SET);
    return kSourceOk;
}

int32_t CKVAAudioLocalSource::Read(uint8_t* buffer, int32_t* length) {
    if (!buffer || !length || !mFile) return kSourceBadArgument;
    if (mCancel) return kSourceCancelled;
    if (*length <= 0) {
        *length = 0;
        return kSourceOk;
    }
    errno = 0;
    size_t got = fread(buffer, 1, static_cast<size_t>(*length), mFile);
    if (got > 0 || feof(mFile)) {
        *length = static_cast<int32_t>(got);
        return kSourceOk;
    }
    mLastError = kDetailFileBase + (errno != 0 ? errno : EIO);
    *length = 0;
    return kSourceReadError;
}

int32_t CKVAAudioLocalSource::Seek(int64_t* position, int32_t whence) {
    if (!position || !mFile) return kSourceBadArgument;
    if (mCancel) return kSourceCancelled;
    int how = whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : SEEK_SET;
    // Only the sign of the written value matters to callers; a failed seek is not an error code.
    *position = fseeko(mFile, static_cast<off_t>(*position), how) == 0 ? 0 : -1;
    return kSourceOk;
}

void CKVAAudioLocalSource::Close() {
    if (mFile) {
        fclose(mFile);
        mFile = nullptr;
    }
}

const char* CKVAAudioLocalSource::GetSessionIdText() {
    if (mSessionIdText.empty()) mSessionIdText = SessionIdToText(mSessionId);
    return mSessionIdText.c_str();
}

void CKVAAudioLocalSource::CancelReading(bool) {
    KVA_LOG(kLogTrace, "CKVAAudioLocalSource::CancelReading not implement");
}

void CKVAAudioLocalSource::SeekDone(uint8_t*) {
    KVA_LOG(kLogTrace, "CKVAAudioLocalSource::SeekDone() not implement");
}

}  // namespace kva_audioplayer
