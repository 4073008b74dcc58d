// TLS for https: one shared client context, the handshake on the connected socket.
#include "source/KVAHttpClient.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

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
    if (loaded != 1) KVA_LOG(kLogError, "CKVAHttpClient::StartTls no trust store loaded");
    ERR_clear_error();
    return ctx;
}

// Loading the system store costs tens of ms of CPU: one context serves every client.
SSL_CTX* SharedContext() {
    static SSL_CTX* ctx = NewClientContext(std::string());
    return ctx;
}

}  // namespace

int32_t CKVAHttpClient::TlsContextsBuilt() { return gTlsContextsBuilt.load(); }

int32_t CKVAHttpClient::StartTls() {
    SSL_CTX* ctx = mTrustFile.empty() ? SharedContext() : mSslCtx;
    if (!ctx) ctx = mSslCtx = NewClientContext(mTrustFile);
    if (!ctx) {
        mStatusCode.store(kHttpStatusTlsBase);
        return kHttpConnectFailed;
    }
    const int sock = mSocket.load();
    mSsl = SSL_new(ctx);
    BIO* bio = NoSignalSocketMethod() ? BIO_new(NoSignalSocketMethod()) : nullptr;
    if (!mSsl || !bio) {
        if (bio) BIO_free(bio);
        mStatusCode.store(kHttpStatusTlsBase);
        FreeTls();
        return kHttpConnectFailed;
    }
    BIO_set_fd(bio, sock, BIO_NOCLOSE);
    SSL_set_bio(mSsl, bio, bio);
    // The origin's name, also inside a proxy's tunnel (the connected address is the proxy's).
    std::string literal = mHost;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    unsigned char binary[sizeof(in6_addr)];
    if (inet_pton(AF_INET, literal.c_str(), binary) == 1 || inet_pton(AF_INET6, literal.c_str(), binary) == 1) {
        // An address literal: no name to send, the certificate must carry the address.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(mSsl), literal.c_str());
    } else {
        SSL_set_tlsext_host_name(mSsl, mHost.c_str());
        SSL_set1_host(mSsl, mHost.c_str());
    }
    SetNonBlocking(sock);
    const int64_t start = MonotonicMs();
    for (;;) {
        if (mCancel.load()) {
            mAborted.store(true);
            FreeTls();
            return kHttpConnectFailed;
        }
        ERR_clear_error();
        int r = SSL_connect(mSsl);
        if (r == 1) break;
        int err = SSL_get_error(mSsl, r);
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) &&
            MonotonicMs() - start < 5000 && MonotonicMs() < mConnectDeadlineMs) {
            pollfd p;
            p.fd = sock;
            p.events = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            p.revents = 0;
            poll(&p, 1, 100);
            continue;
        }
        long verify = SSL_get_verify_result(mSsl);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            mStatusCode.store(kHttpStatusConnectTimeout);
        } else {
            mStatusCode.store(kHttpStatusTlsBase + (verify != X509_V_OK ? static_cast<uint32_t>(verify) : 0));
        }
        if (mCancel.load()) mAborted.store(true);
        KVA_LOG(kLogError, "CKVAHttpClient::StartTls handshake failed, ssl %d, verify %ld (%s)", err,
                verify, X509_verify_cert_error_string(verify));
        ERR_clear_error();
        FreeTls();
        return kHttpConnectFailed;
    }
    KVA_LOG(kLogDetail, "CKVAHttpClient::StartTls %s %s", SSL_get_version(mSsl),
            SSL_get_cipher_name(mSsl));
    return kHttpOk;
}

void CKVAHttpClient::FreeTls() {
    if (mSsl) SSL_free(mSsl);  // no close_notify: the socket goes away with it
    mSsl = nullptr;
}


void CKVAHttpClient::SetTrustFile(const char* path) {
    mTrustFile = path ? path : "";
    if (mSslCtx) SSL_CTX_free(mSslCtx);  // the next handshake builds one with the new trust
    mSslCtx = nullptr;
}

}  // namespace kva_audioplayer
