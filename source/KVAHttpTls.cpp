// TLS for https over OpenSSL: one shared client context, the handshake on the connected socket.
#include "source/KVAHttpTls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "source/KVAHttpClient.h"
#include "support/Clock.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {

// Socket writes without SIGPIPE: a peer that went away must give an error, not end the host.
int NoSignalWrite(BIO* bio, const char* data, int length) {
    int fd = -1;
    BIO_get_fd(bio, &fd);
    BIO_clear_retry_flags(bio);
    ssize_t n = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int NoSignalPuts(BIO* bio, const char* text) {
    return NoSignalWrite(bio, text, static_cast<int>(strlen(text)));
}

BIO_METHOD* NoSignalSocketMethod() {
    static BIO_METHOD* method = [] {
        const BIO_METHOD* base = BIO_s_socket();
        BIO_METHOD* m = BIO_meth_new(BIO_TYPE_SOCKET, "kva socket");
        if (!m) return m;
        BIO_meth_set_write(m, NoSignalWrite);
        BIO_meth_set_puts(m, NoSignalPuts);
        BIO_meth_set_read(m, BIO_meth_get_read(base));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
        BIO_meth_set_create(m, BIO_meth_get_create(base));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
        return m;
    }();
    return method;
}

std::atomic<int32_t> gTlsContextsBuilt{0};

// A client context trusting the file, or the system store without one; null on failure.
SSL_CTX* NewClientContext(const std::string& trustFile) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    gTlsContextsBuilt.fetch_add(1);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    int loaded = trustFile.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                   : SSL_CTX_load_verify_locations(ctx, trustFile.c_str(), nullptr);
    if (loaded != 1) KVA_LOG(kLogError, "CKVAHttpTlsTrust: no trust store loaded");
    ERR_clear_error();
    return ctx;
}

SSL_CTX* SharedContext() {
    static SSL_CTX* ctx = NewClientContext(std::string());
    return ctx;
}

// The origin's name goes out as SNI and must be in its certificate; an address literal has no
// name to send, so the certificate must carry the address.
void SetPeerName(SSL* ssl, const std::string& host) {
    std::string literal = host;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    unsigned char binary[sizeof(in6_addr)];
    if (inet_pton(AF_INET, literal.c_str(), binary) == 1 || inet_pton(AF_INET6, literal.c_str(), binary) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), literal.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
    }
}

}  // namespace

// ---- trust ----

CKVAHttpTlsTrust::~CKVAHttpTlsTrust() {
    if (mOwnContext) SSL_CTX_free(mOwnContext);
}

void CKVAHttpTlsTrust::SetFile(const char* path) {
    mFile = path ? path : "";
    if (mOwnContext) SSL_CTX_free(mOwnContext);
    mOwnContext = nullptr;
}

ssl_ctx_st* CKVAHttpTlsTrust::Context() {
    if (mFile.empty()) return SharedContext();
    if (!mOwnContext) mOwnContext = NewClientContext(mFile);
    return mOwnContext;
}

int32_t CKVAHttpTlsTrust::ContextsBuilt() { return gTlsContextsBuilt.load(); }

// ---- stream ----

int32_t CKVAHttpTlsStream::Handshake(int socket, ssl_ctx_st* context, const std::string& host,
                                     int64_t deadlineMs, const std::atomic<bool>& cancel,
                                     uint32_t* status) {
    Close();
    mSsl = context ? SSL_new(context) : nullptr;
    BIO* bio = mSsl && NoSignalSocketMethod() ? BIO_new(NoSignalSocketMethod()) : nullptr;
    if (!bio) {
        *status = kHttpStatusTlsBase;
        Close();
        return kHttpConnectFailed;
    }
    BIO_set_fd(bio, socket, BIO_NOCLOSE);
    SSL_set_bio(mSsl, bio, bio);
    SetPeerName(mSsl, host);
    const int flags = fcntl(socket, F_GETFL, 0);
    if (flags >= 0) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    const int64_t start = MonotonicMs();
    int32_t ret = kHttpConnectFailed;
    while (!cancel.load()) {
        ERR_clear_error();
        int r = SSL_connect(mSsl);
        if (r == 1) {
            ret = kHttpOk;
            break;
        }
        int err = SSL_get_error(mSsl, r);
        const bool wants = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
        if (wants && MonotonicMs() - start < 5000 && MonotonicMs() < deadlineMs) {
            pollfd p;
            p.fd = socket;
            p.events = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            p.revents = 0;
            poll(&p, 1, 100);
            continue;
        }
        long verify = SSL_get_verify_result(mSsl);
        *status = wants ? kHttpStatusConnectTimeout
                        : kHttpStatusTlsBase + (verify != X509_V_OK ? static_cast<uint32_t>(verify) : 0);
        KVA_LOG(kLogError, "CKVAHttpTlsStream::Handshake failed, ssl %d, verify %ld (%s)", err,
                verify, X509_verify_cert_error_string(verify));
        ERR_clear_error();
        break;
    }
    if (flags >= 0) fcntl(socket, F_SETFL, flags);
    if (ret != kHttpOk) {
        Close();
        return ret;
    }
    KVA_LOG(kLogDetail, "CKVAHttpTlsStream::Handshake %s %s", SSL_get_version(mSsl),
            SSL_get_cipher_name(mSsl));
    return kHttpOk;
}

void CKVAHttpTlsStream::Close() {
    if (mSsl) SSL_free(mSsl);
    mSsl = nullptr;
}

bool CKVAHttpTlsStream::HasBuffered() const { return SSL_pending(mSsl) > 0; }

int32_t CKVAHttpTlsStream::Write(const char* data, int32_t length) {
    errno = 0;
    int w = SSL_write(mSsl, data, length);
    if (w <= 0 && errno == 0) errno = EPIPE;
    return w > 0 ? w : -1;
}

int32_t CKVAHttpTlsStream::Read(uint8_t* buffer, int32_t length, int* sysErr) {
    errno = 0;
    int n = SSL_read(mSsl, buffer, length);
    if (n > 0) return n;
    int err = SSL_get_error(mSsl, n);
    int sys = errno;
    ERR_clear_error();
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return kStreamNothingYet;
    if (err == SSL_ERROR_SYSCALL && (sys == EAGAIN || sys == EWOULDBLOCK)) return kStreamNothingYet;
    if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && sys == 0) || sys == ECONNRESET)
        return kStreamClosed;
    KVA_LOG(kLogDetail, "CKVAHttpTlsStream::Read errno %d, ssl %d", sys, err);
    *sysErr = sys;
    return kStreamFailed;
}

}  // namespace kva_audioplayer
