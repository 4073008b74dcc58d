// A scriptable HTTP/1.1 server on 127.0.0.1 for network tests: one request per connection, a
// handler per path decides the answer. As a proxy it answers absolute targets by their path and
// CONNECT (path: "host:port") by its plan.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/TestPaths.h"

struct ssl_ctx_st;
struct ssl_st;

namespace kva_test {

// Deterministic content: bytes [offset, offset + length) of a pattern resource.
std::string PatternBytes(int64_t offset, int64_t length);

struct HttpRequest {
    std::string method, target;  // target as sent, query included
    std::string path;            // target without the query (and scheme and host, for a proxy)
    std::string head;            // the whole request head
    int64_t rangeStart = -1;     // from "Range: bytes=N-", -1 without one
    int index = 0;               // 0 for the first request to this path
};

struct HttpPlan {
    int status = 200;  // becomes 206 when a range is asked for and honoured
    // The resource: explicit bytes, or a pattern of patternSize bytes when body is null.
    std::shared_ptr<const std::string> body;
    int64_t patternSize = 0;
    bool honourRange = true, sendContentLength = true, chunked = false;
    std::string contentType = "application/octet-stream";
    std::vector<std::string> extraHeaders;  // whole lines without CR LF
    std::string location;                   // sent as "Location" when not empty
    std::string rawResponse;                // when set, sent as it stands instead of a response
    int64_t closeAfter = -1;                // body bytes after which the connection is closed
    bool resetInsteadOfClose = false;       // ... with a reset instead of a close
    int64_t stallAfter = -1;                // body bytes after which sending pauses for stallMs:
    int stallMs = -1;                       // -1 until the server stops, kUntilReleased until
    static constexpr int kUntilReleased = -2;  // ReleaseStalls
    int trickleBytes = 0, trickleDelayMs = 0;  // body in pieces of this size, a pause after each
    int headByteDelayMs = 0;                   // head sent one byte at a time, each after this pause
    // A stream server: "ICY 200 OK", no length. With metaInt and a request asking for it (with
    // any status line), a metadata block after every metaInt body bytes, titles[i % size] in block i.
    bool icy = false;
    int metaInt = 0;
    std::vector<std::string> titles;
    int64_t rangePiece = 0;  // answer 206 with at most this many bytes, then keep the connection
    int tunnelPort = 0;      // a CONNECT answered 200 (with extraHeaders), relayed to this port

    static HttpPlan Pattern(int64_t size) { HttpPlan p; p.patternSize = size; return p; }
    static HttpPlan Raw(std::string response) { HttpPlan p; p.rawResponse = std::move(response); return p; }
    static HttpPlan Body(std::string b) { HttpPlan p; p.body = std::make_shared<const std::string>(std::move(b)); return p; }
};

using HttpHandler = std::function<HttpPlan(const HttpRequest&)>;

class HttpTestServer {  // not copyable: it holds its threads and their lock
public:
    ~HttpTestServer();

    // Serve TLS with this certificate chain and key (PEM files); call before Start.
    bool EnableTls(const std::string& certFile, const std::string& keyFile);
    bool Start(bool v6 = false);  // on ::1 instead of 127.0.0.1
    void Stop();
    int Port() const { return mPort; }
    std::string Scheme() const { return mSslCtx ? "https" : "http"; }
    std::string Url(const std::string& target) const {
        return Scheme() + (mV6 ? "://[::1]:" : "://127.0.0.1:") + std::to_string(mPort) + target;
    }
    void Route(const std::string& path, HttpHandler handler) {
        std::lock_guard<std::mutex> g(mLock);
        mRoutes[path] = std::move(handler);
    }
    void Serve(const std::string& path, const HttpPlan& plan) {  // the same plan every time
        Route(path, [plan](const HttpRequest&) { return plan; });
    }
    std::vector<HttpRequest> Requests() { std::lock_guard<std::mutex> g(mLock); return mRequests; }
    std::vector<HttpRequest> RequestsFor(const std::string& path);
    // Bytes of heads sent a byte at a time, each while the client was still there.
    int HeadBytesSent(const std::string& path) { std::lock_guard<std::mutex> g(mLock); return mHeadBytes[path]; }
    void ReleaseStalls();  // ends every pause that waits for it, now and later

private:
    void AcceptLoop();
    void Serve(int fd);
    bool Answer(int fd, ssl_st* ssl, HttpRequest& req);  // true: end with a reset
    void Tunnel(int fd, const HttpPlan& plan);
    bool SendAll(int fd, ssl_st* ssl, const char* data, size_t length);
    bool Pause(int ms);  // false when the server is stopping

    ssl_ctx_st* mSslCtx = nullptr;
    int mListen = -1, mPort = 0;
    bool mV6 = false;
    std::atomic<bool> mStop{false}, mReleased{false};
    std::atomic<int> mConnections{0};
    std::thread mAcceptThread;
    std::mutex mLock;
    std::condition_variable mStopCv;
    std::map<std::string, HttpHandler> mRoutes;
    std::map<std::string, int> mCounts, mHeadBytes;
    std::vector<HttpRequest> mRequests;
    std::vector<std::thread> mWorkers;
    std::vector<int> mOpenFds;
};

// A loopback listener whose queue is taken, so a connect stays pending.
class BlockedListener {
public:
    BlockedListener();
    ~BlockedListener();
    int Port() const { return mPort; }
    bool Ok() const { return mOk; }

private:
    int mListen = -1, mFiller = -1, mPort = 0;
    bool mOk = false;
};

// nginx from the system, serving one directory on a free loopback port with a private prefix;
// what is under /slow/ at 25 kB/s a connection, /norange/ as if it knew no ranges, and /up/ from
// a loopback server (ProxyTo, before Start) passed on as it comes.
class NginxServer {
public:
    static bool Available();
    explicit NginxServer(const std::string& root) : mRoot(root) {}
    ~NginxServer() { Stop(); }
    bool Start();
    void Stop();
    void Signal(int signal);  // SIGSTOP: quiet, with its connections open; SIGCONT: on again
    void ProxyTo(int port) { mUpstream = port; }
    size_t RequestsFor(const std::string& target) const;  // finished ones, from its access log
    int Port() const { return mPort; }
    std::string Url(const std::string& target) const {
        return "http://127.0.0.1:" + std::to_string(mPort) + target;
    }

private:
    std::string mRoot, mPrefix;
    int mPort = 0, mUpstream = 0;
};

}  // namespace kva_test
