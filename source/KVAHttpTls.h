// TLS for https: the client's handshake over a connected socket and the bytes through it, and
// the certificates it trusts.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "source/KVAHttpStream.h"

struct ssl_st;
struct ssl_ctx_st;

namespace kva_audioplayer {

// Which certificates a client trusts: a PEM file of them, or the system store. Loading the
// system store costs tens of ms of CPU, so every client on it shares one context, built at the
// first handshake.
class CKVAHttpTlsTrust {
public:
    CKVAHttpTlsTrust() = default;
    ~CKVAHttpTlsTrust();
    // Null or "": the system store. The next handshake uses the new trust.
    void SetFile(const char* path);
    // The context to handshake with; null when none could be built.
    ssl_ctx_st* Context();
    static int32_t ContextsBuilt();

    CKVAHttpTlsTrust(const CKVAHttpTlsTrust&) = delete;
    CKVAHttpTlsTrust& operator=(const CKVAHttpTlsTrust&) = delete;

private:
    std::string mFile;
    ssl_ctx_st* mOwnContext = nullptr;  // for mFile only; the shared one is never freed
};

class CKVAHttpTlsStream final : public IKVAHttpStream {
public:
    CKVAHttpTlsStream() = default;
    ~CKVAHttpTlsStream() override { Close(); }

    // Handshakes on the connected socket as a client of host (the certificate must name it, or
    // carry it for an address literal), waiting until deadlineMs (5 s at most) or cancel; the
    // socket's blocking mode is restored after. kHttpOk, or kHttpConnectFailed with *status the
    // client's status code for the failure (left alone on a cancel).
    int32_t Handshake(int socket, ssl_ctx_st* context, const std::string& host, int64_t deadlineMs,
                      const std::atomic<bool>& cancel, uint32_t* status);
    // Drops the session without close_notify: the socket goes away with it.
    void Close();
    bool IsOpen() const { return mSsl != nullptr; }

    bool HasBuffered() const override;
    int32_t Write(const char* data, int32_t length) override;
    int32_t Read(uint8_t* buffer, int32_t length, int* sysErr) override;

    CKVAHttpTlsStream(const CKVAHttpTlsStream&) = delete;
    CKVAHttpTlsStream& operator=(const CKVAHttpTlsStream&) = delete;

private:
    ssl_st* mSsl = nullptr;
};

}  // namespace kva_audioplayer
