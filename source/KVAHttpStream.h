// The bytes of one connection as the HTTP client reads and writes them: the socket itself
// (CKVAHttpPlainStream) or TLS over it (CKVAHttpTlsStream, KVAHttpTls.h). The client owns the
// socket; a stream never closes it.
#pragma once

#include <atomic>
#include <cstdint>

namespace kva_audioplayer {

// What a read came to when it has no bytes to give.
enum : int32_t {
    kStreamNothingYet = 0,  // nothing readable yet; wait and read again
    kStreamClosed = -1,     // the peer closed the connection
    kStreamFailed = -2,     // an error, its errno in *sysErr
};

class IKVAHttpStream {
public:
    virtual ~IKVAHttpStream() = default;
    // Bytes already received and decoded: readable without waiting on the socket.
    virtual bool HasBuffered() const = 0;
    // Bytes written (> 0), or <= 0 with errno set (0 for none: the connection is gone).
    virtual int32_t Write(const char* data, int32_t length) = 0;
    // Bytes read (> 0), or one of the kStream outcomes.
    virtual int32_t Read(uint8_t* buffer, int32_t length, int* sysErr) = 0;
};

// The socket as it is, whichever number the client holds at the time.
class CKVAHttpPlainStream final : public IKVAHttpStream {
public:
    explicit CKVAHttpPlainStream(const std::atomic<int>& socket) : mSocket(socket) {}
    bool HasBuffered() const override { return false; }
    int32_t Write(const char* data, int32_t length) override;
    int32_t Read(uint8_t* buffer, int32_t length, int* sysErr) override;

private:
    const std::atomic<int>& mSocket;
};

}  // namespace kva_audioplayer
