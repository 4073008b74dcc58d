// HTTP/1.1 client: one resource from a byte offset onwards, over TCP or TLS (https), directly
// or through a tunnelling proxy; redirects, chunked bodies and in-band stream metadata.
// KVAHttpClient.cpp: URLs, Connect, requests, response heads and bodies. KVAHttpSocket.cpp: the
// socket, its waits, and send and receive through the connection's stream (KVAHttpStream.h: the
// socket as it is, or TLS over it, KVAHttpTls.h). KVAHttpDns.cpp: name resolution and its
// process-wide cache. KVAHttpProxy.cpp: the proxy tunnel and its settings.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "source/KVAHttpStream.h"
#include "source/KVAHttpTls.h"

struct addrinfo;

namespace kva_audioplayer {

// Client result codes.
enum : int32_t {
    kHttpOk = 0,
    kHttpHeaderNotFound = 18,
    kHttpRecvFailed = -1,
    kHttpPeerClosed = -15,
    kHttpSendFailed = -16,
    kHttpTooManyRedirects = -32,
    kHttpTimedOut = -33,
    kHttpConnectFailed = -34,
    kHttpNotConnected = -35,
    kHttpBadStatus = -38,
    kHttpBadLength = -39,
    kHttpLineTooLong = -41,
    kHttpLineNotConnected = -42,
    // The proxy refused the tunnel; the status code is its answer (407: credentials refused).
    kHttpProxyRefused = -43,
};

// Status codes (GetStatusCode) beyond plain HTTP statuses.
enum : uint32_t {
    kHttpStatusSocketBase = 600,
    kHttpStatusConnectTimeout = 905,
    kHttpStatusSendBase = 1000,
    kHttpStatusSelectBase = 1300,
    kHttpStatusNothingReceived = 1556,
    kHttpStatusBadStatusLine = 1557,
    kHttpStatusBadLength = 1558,
    kHttpStatusNoSocket = 1559,
    kHttpStatusResolveBase = 2000,
    // TLS handshake failed: 3000 + the certificate verification result (3000 when the
    // certificate was fine and the handshake failed for another reason).
    kHttpStatusTlsBase = 3000,
    kHttpStatusRecvBase = 4000,
    kHttpStatusNeither = 10622,
};

// Standard base64 with padding, for Basic credentials.
std::string Base64(const std::string& bytes);

// A proxy to go through; authorization is the whole Proxy-Authorization value, or empty.
struct ProxyRoute {
    std::string host;
    uint16_t port = 0;
    std::string authorization;
};

// A proxy URL, [http://][user[:password]@]host[:port][/]; false for anything else (another
// scheme, no host, a bad port).
bool ParseProxyUrl(const char* text, ProxyRoute* out);

// Whether a no_proxy list covers the host (brackets optional) on that port: "*", names with
// their subdomains (a leading "." or "*." allowed), address literals and networks
// ("10.0.0.0/8", "::1/128"), each optionally with ":port" ("[::1]:8080" for IPv6).
bool NoProxyCovers(const char* list, const std::string& host, uint16_t port);

// Connection states.
enum : int32_t { kHttpClosed = 0, kHttpSocketCreated = 1, kHttpConnected = 2 };

class CKVAHttpClient {
public:
    // Reconnects to a redirect target through the object's own table.
    typedef int32_t (*ReconnectFn)(CKVAHttpClient* self, const char* url, int64_t offset);

    static constexpr int32_t kLineSize = 4096;
    static constexpr int32_t kHeaderTextSize = 16384;
    static constexpr int32_t kRecvBufferSize = 4096;
    static constexpr int32_t kMaxRedirects = 10;
    // A response head larger than this is refused rather than read forever.
    static constexpr int32_t kMaxHeadBytes = 65536;
    // Whole-exchange limits: a peer that trickles bytes cannot stretch them.
    static constexpr int32_t kConnectDeadlineMs = 10000;
    static constexpr int32_t kHeadDeadlineMs = 10000;

    // A failure that asking again will not change: a client error status (but for time-out and
    // rate limit), a redirect loop or a certificate refused.
    static bool IsFinalFailure(int32_t result, uint32_t status) {
        if (result == kHttpTooManyRedirects || result == kHttpProxyRefused) return true;
        if (result == kHttpConnectFailed && status > kHttpStatusTlsBase && status < kHttpStatusRecvBase)
            return true;
        return result == kHttpBadStatus && status >= 400 && status < 500 && status != 408 &&
               status != 429;
    }

    CKVAHttpClient();
    virtual ~CKVAHttpClient();

    virtual int32_t Read(uint8_t* buffer, int32_t length);                        // 1
    virtual int32_t Recv(uint8_t* buffer, int32_t length);                        // 2
    virtual int32_t Send(const char* data, int32_t length);                       // 3
    virtual int32_t Connect(const char* url, int64_t offset, bool redirect);      // 4
    virtual int32_t ConnectViaProxy(const char* url, int64_t offset);             // 5
    virtual int32_t Disconnect();                                                 // 6
    virtual int64_t ContentLength() { return mContentLength; }                    // 7
    virtual void Cancel();                                                        // 8
    virtual uint32_t GetIPv4Address() { return mIPv4; }                           // 9
    virtual const char* GetIP() { return mIPText; }                               // 10
    virtual uint32_t GetStatusCode() { return mStatusCode.load(); }               // 11
    virtual bool LastFailWasAbort() { return mAborted.load(); }                   // 12
    virtual int32_t GetConnectState() { return mConnectState.load(); }            // 13
    virtual void SetStatusCode(uint32_t code) { mStatusCode.store(code); }        // 14
    virtual void Reserved15() {}                                                  // 15
    virtual bool IsCancelled() { return mCancel.load(); }                         // 16
    virtual void Reserved17() {}                                                  // 17
    virtual bool IsTransferBlock() { return mTransferBlock; }                     // 18
    virtual int32_t ReadChunkSize();                                              // 19
    virtual uint32_t HexToInt(const char* text);                                  // 20
    virtual const char* GetRedirectUrl();                                         // 21
    virtual void SetExtraHeaders(const char* text);                               // 22
    virtual bool IsRedirect(uint32_t httpStatus);                                 // 23
    virtual int32_t ReadLine(char* buffer, int32_t size);                         // 24
    virtual int32_t ReceiveBuffer();                                              // 25
    virtual int32_t ParseStatusLine(uint32_t* status);                            // 26
    virtual int32_t GetHeaderValueByKey(const char* key, char* value, int32_t size);  // 27
    virtual int32_t ConnectAddress(struct sockaddr* address, uint16_t port);      // 28
    virtual int32_t ConnectIPv4(uint32_t address, uint16_t port);                 // 29
    virtual int32_t ResolveDNS(const char* host, struct sockaddr_storage* out);   // 30
    virtual int32_t SendRequest(uint16_t port, int64_t offset);                   // 31
    virtual int32_t ParseResponseHeader(uint32_t* status);                        // 32
    virtual int32_t HandleRedirect(ReconnectFn reconnect, int64_t offset);        // 33
    virtual int32_t SendRequestAndParseResponse(ReconnectFn reconnect, const char* url,
                                                uint16_t port, int64_t offset);   // 34
    virtual int32_t ParseContentLength(uint32_t httpStatus);                      // 35
    virtual int32_t Receive(int sock, int32_t waitMs, uint8_t* buffer, int32_t length);  // 36
    virtual int32_t WaitConnect(int sock, int32_t waitUs);                        // 37
    virtual int32_t WaitReadable(int sock, int32_t waitMs);                       // 38
    virtual int32_t SetRecvTimeout(int sock, const struct timeval& tv);           // 39
    virtual int32_t SetBlocking(int sock);                                        // 40
    virtual int32_t SetNonBlocking(int sock);                                     // 41

    // Parsed pieces of the last URL, for callers and tests.
    const std::string& Host() const { return mHost; }
    const std::string& Path() const { return mPath; }
    uint16_t Port() const { return mPort; }
    bool IsHttps() const { return mHttps; }
    bool IsMediaType() const { return mMediaType; }
    const std::string& RequestText() const { return mRequest; }
    const std::string& ResponseHeaderText() const { return mHeaderText; }
    // The body of the current response has been read to its declared end: what follows on the
    // connection, if anything, is not ours.
    bool ResponseComplete() const { return mBodyLeft == 0; }
    // The server said it serves byte ranges (a 206, or "Accept-Ranges: bytes").
    bool AcceptsRanges() const { return mAcceptsRanges; }
    bool IsChunked() const { return mDechunk; }
    // A header of the last response head (name compared case-insensitively); empty when absent.
    std::string HeaderValue(const char* name) const;

    // Ask stream servers for in-band metadata ("Icy-MetaData: 1"); Read strips it from the body.
    void SetIcyMetadata(bool enable) { mIcyMetadata = enable; }
    // No connect or response-head wait goes past this monotonic time (0: none), so that
    // retries cannot add up to more than one deadline.
    void SetOverallDeadline(int64_t ms) { mOverallDeadlineMs = ms; }
    int64_t Deadline(int32_t fromNowMs) const;
    // The stream title last announced in-band; true only when it changed since the last call.
    // Any thread.
    bool TakeStreamTitle(std::string* title);

    // Process-wide name-resolution cache.
    static bool DnsCacheLookup(const std::string& host, struct sockaddr_storage* out);
    static void DnsCacheAdd(const std::string& host, const struct sockaddr_storage& address);
    static void DnsCacheRemove(const std::string& host);
    static void DnsCacheClear();
    static size_t DnsCacheSize();

    // PEM file of the certificates to trust instead of the system store (null: the system store).
    // Clients on the system store share one context, built at the first handshake.
    void SetTrustFile(const char* path) { mTrust.SetFile(path); }
    static int32_t TlsContextsBuilt() { return CKVAHttpTlsTrust::ContextsBuilt(); }

    // Proxies. Connect goes through the process-wide proxy when one is set (credential: the
    // Basic value, already encoded), else through http_proxy / https_proxy (or HTTP_PROXY /
    // HTTPS_PROXY; an http:// URL, port 80 by default, user:password@ percent-decoded and sent
    // as Basic), unless no_proxy (NO_PROXY) covers the host. ConnectViaProxy ignores no_proxy.
    static void SetProxy(const char* host, uint32_t ipv4, uint16_t port, const char* credential);
    // The host's setting, over the environment: a proxy URL as in http_proxy for http and https
    // with its own no_proxy list (null: none), "" for no proxy at all, null to go back to the
    // environment. False (nothing changed) for a URL that is not an http:// proxy.
    static bool SetProxyUrl(const char* url, const char* noProxy);

    CKVAHttpClient(const CKVAHttpClient&) = delete;
    CKVAHttpClient& operator=(const CKVAHttpClient&) = delete;

protected:
    // For a receive path injected by a subclass: the client acts as connected without a socket.
    void AdoptInjectedStream();
    void ParseUrl(const char* url);
    // Clears the previous reply's state and starts the connect deadline; returns the start (ms).
    int64_t BeginConnectAttempt();
    int32_t ResolveFresh(const std::string& name);
    int32_t ConnectResolved(const std::string& name, uint16_t port);
    // A cancel came (or the socket went) while connecting: marks the attempt aborted.
    bool AbortIfCancelled();
    // Blocking reads that give up after half a second, for the request and the body.
    void UseBlockingReads();
    bool FindProxy(bool honourNoProxy, ProxyRoute* route);
    int32_t ConnectThroughProxy(const ProxyRoute& route, const std::string& url, int64_t offset);
    int32_t OpenTunnel(const ProxyRoute& route);
    void ClearReceiveBuffer() {
        mRecvFill = 0;
        mRecvPos = 0;
    }

    // Handshakes on the connected socket; the connection's bytes go through TLS from then on.
    int32_t StartTls();

    // The body as sent, chunked framing removed; 0 on a receive wait without data.
    int32_t ReadBody(uint8_t* buffer, int32_t length);
    int32_t ReadBodyExact(uint8_t* buffer, int32_t length);
    int32_t NextChunk();
    int32_t ReadMetadata();

    static int32_t ReconnectDirect(CKVAHttpClient* self, const char* url, int64_t offset);

    char mLine[kLineSize];
    char mHeaderValue[kLineSize];
    std::string mHeaderText;  // capped at kHeaderTextSize
    uint8_t mRecvBuffer[kRecvBufferSize];
    std::string mHost;
    std::string mPath;
    std::string mRequest;
    std::string mRedirectLocation;
    std::string mExtraHeaders;
    bool mHasExtraHeaders = false;
    std::string mAuthorization;  // "Basic ..." from credentials in the URL, empty without
    bool mViaProxy = false;      // plain http through a proxy: absolute targets
    std::string mProxyAuthorization;
    int64_t mConnectDeadlineMs = 0;
    int64_t mHeadDeadlineMs = 0;  // 0 while no response head is awaited
    int64_t mOverallDeadlineMs = 0;
    char mIPText[72];
    int64_t mContentLength = -1;
    int64_t mConnectStartMs = 0;
    struct sockaddr_storage mAddress;
    std::atomic<int> mSocket{-1};
    CKVAHttpPlainStream mPlain{mSocket};
    CKVAHttpTlsStream mTls;
    IKVAHttpStream* mStream = &mPlain;  // mTls between a handshake and the disconnect
    CKVAHttpTlsTrust mTrust;
    std::mutex mSocketLock;  // Cancel against Disconnect: never touch a number already closed
    int32_t mStartupResult = 0;
    int32_t mRecvFill = 0;
    int32_t mRecvPos = 0;
    int32_t mRedirectCount = 0;
    std::atomic<uint32_t> mStatusCode{0};
    uint32_t mIPv4 = 0;
    int32_t mRecvErrno = 0;
    int32_t mNextAddressIndex = 0;
    std::atomic<bool> mCancel{false};
    std::atomic<bool> mAborted{false};
    struct addrinfo* mAddrList = nullptr;
    std::atomic<int32_t> mConnectState{kHttpClosed};
    bool mHttps = false;
    bool mMediaType = false;
    bool mTransferBlock = false;
    uint16_t mPort = 80;
    // Body bytes still to drop: a server that ignored our range sent the resource from its start.
    int64_t mSkipBytes = 0;
    int64_t mRequestedOffset = 0;
    bool mAcceptsRanges = false;
    bool mIcyMetadata = false;
    int32_t mMetaInt = 0;   // audio bytes between metadata blocks, 0 without metadata
    int32_t mMetaLeft = 0;  // audio bytes until the next block
    bool mDechunk = false;  // "Transfer-Encoding: chunked" (any coding sets mTransferBlock)
    int64_t mChunkLeft = 0;
    bool mFirstChunk = true;
    std::mutex mTitleLock;
    std::string mStreamTitle;
    uint32_t mTitleSerial = 0;
    uint32_t mTitleTaken = 0;
    int64_t mBodyLeft = -1;  // body bytes of this response still to come; -1 when unknown
    int32_t mHeadBytes = 0;
};

}  // namespace kva_audioplayer
