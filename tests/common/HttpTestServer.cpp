#include "common/HttpTestServer.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/TestPaths.h"

extern char** environ;

namespace kva_test {

namespace {

const int kMaxConnections = 20000;  // a runaway client cannot keep the server busy forever
const size_t kMaxRequestHead = 65536;

int ListenOn(bool ipv6, int backlog, int* port) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    socklen_t len;
    if (ipv6) {
        sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof(*a);
    } else {
        sockaddr_in* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*a);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    len = sizeof(ss);
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    *port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                 : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return fd;
}

std::string StatusReason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

}  // namespace

uint8_t PatternByte(int64_t i) {
    uint64_t x = static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint8_t>(x);
}

std::string PatternBytes(int64_t offset, int64_t length) {
    std::string out(static_cast<size_t>(length), '\0');
    for (int64_t i = 0; i < length; ++i) out[static_cast<size_t>(i)] = static_cast<char>(PatternByte(offset + i));
    return out;
}

// ---- HttpTestServer ----

HttpTestServer::HttpTestServer(bool ipv6) : mIpv6(ipv6) {}

HttpTestServer::~HttpTestServer() {
    Stop();
    if (mSslCtx) SSL_CTX_free(mSslCtx);
}

bool HttpTestServer::EnableTls(const std::string& certFile, const std::string& keyFile) {
    signal(SIGPIPE, SIG_IGN);  // the server's TLS writes to a client that went away
    mSslCtx = SSL_CTX_new(TLS_server_method());
    if (!mSslCtx) return false;
    SSL_CTX_set_min_proto_version(mSslCtx, TLS1_2_VERSION);
    return SSL_CTX_use_certificate_chain_file(mSslCtx, certFile.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(mSslCtx, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
}

bool HttpTestServer::Start() {
    mListen = ListenOn(mIpv6, 64, &mPort);
    if (mListen < 0) return false;
    mStop = false;
    mAcceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void HttpTestServer::Stop() {
    if (mListen < 0) return;
    {
        std::lock_guard<std::mutex> g(mLock);
        mStop = true;
        for (int fd : mOpenFds) shutdown(fd, SHUT_RDWR);
    }
    mStopCv.notify_all();
    if (mAcceptThread.joinable()) mAcceptThread.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(mLock);
        workers.swap(mWorkers);
    }
    for (auto& t : workers) t.join();
    close(mListen);
    mListen = -1;
}

std::string HttpTestServer::Url(const std::string& target) const {
    return Scheme() + "://" + Host() + ":" + std::to_string(mPort) + target;
}

void HttpTestServer::Route(const std::string& path, HttpHandler handler) {
    std::lock_guard<std::mutex> g(mLock);
    mRoutes[path] = std::move(handler);
}

void HttpTestServer::Serve(const std::string& path, const HttpPlan& plan) {
    Route(path, [plan](const HttpRequest&) { return plan; });
}

std::vector<HttpRequest> HttpTestServer::Requests() {
    std::lock_guard<std::mutex> g(mLock);
    return mRequests;
}

std::vector<HttpRequest> HttpTestServer::RequestsFor(const std::string& path) {
    std::lock_guard<std::mutex> g(mLock);
    std::vector<HttpRequest> out;
    for (auto& r : mRequests)
        if (r.path == path) out.push_back(r);
    return out;
}

void HttpTestServer::ReleaseStalls() {
    {
        std::lock_guard<std::mutex> g(mLock);
        mReleased = true;
    }
    mStopCv.notify_all();
}

bool HttpTestServer::Pause(int ms) {
    std::unique_lock<std::mutex> g(mLock);
    if (ms == HttpPlan::kUntilReleased) {
        mStopCv.wait(g, [this] { return mStop.load() || mReleased.load(); });
    } else if (ms < 0) {
        mStopCv.wait(g, [this] { return mStop.load(); });
    } else {
        mStopCv.wait_for(g, std::chrono::milliseconds(ms), [this] { return mStop.load(); });
    }
    return !mStop.load();
}

void HttpTestServer::AcceptLoop() {
    while (!mStop.load()) {
        pollfd p = {mListen, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (mConnections.fetch_add(1) >= kMaxConnections) {
            close(fd);
            continue;
        }
        std::lock_guard<std::mutex> g(mLock);
        if (mStop.load()) {
            close(fd);
            break;
        }
        mOpenFds.push_back(fd);
        mWorkers.emplace_back([this, fd] { Serve(fd); });
    }
}

bool HttpTestServer::SendAll(int fd, ssl_st* ssl, const char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        if (mStop.load()) return false;
        ssize_t n = ssl ? SSL_write(ssl, data + sent, static_cast<int>(length - sent))
                        : send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void HttpTestServer::Serve(int fd) {
    std::string head;
    char buf[4096];
    bool reset = false;
    SSL* ssl = nullptr;
    bool usable = true;
    if (mSslCtx) {
        ssl = SSL_new(mSslCtx);
        SSL_set_fd(ssl, fd);
        usable = SSL_accept(ssl) == 1;  // a failed handshake ends the connection
        ERR_clear_error();
    }
    while (usable && head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead &&
           !mStop.load()) {
        if (!ssl || SSL_pending(ssl) <= 0) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
        }
        ssize_t n = ssl ? SSL_read(ssl, buf, sizeof(buf)) : recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
    }
    do {
        size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) break;
        head.resize(end + 4);
        HttpRequest req;
        req.head = head;
        std::istringstream first(head.substr(0, head.find("\r\n")));
        first >> req.method >> req.target;
        req.path = req.target.substr(0, req.target.find('?'));
        if (req.path.compare(0, 7, "http://") == 0) req.path.erase(0, std::min(req.path.find('/', 7), req.path.size()));
        size_t range = head.find("\r\nRange: bytes=");
        if (range != std::string::npos) req.rangeStart = atoll(head.c_str() + range + 15);

        HttpHandler handler;
        {
            std::lock_guard<std::mutex> g(mLock);
            req.index = mCounts[req.path]++;
            mRequests.push_back(req);
            auto it = mRoutes.find(req.path);
            if (it != mRoutes.end()) handler = it->second;
        }
        HttpPlan plan;
        if (handler) {
            plan = handler(req);
        } else {
            plan.status = 404;
        }

        if (req.method == "CONNECT" && plan.status == 200 && plan.tunnelPort > 0) {
            Tunnel(fd, plan);
            break;
        }
        if (!plan.rawResponse.empty()) {
            SendAll(fd, ssl, plan.rawResponse.data(), plan.rawResponse.size());
            break;
        }

        const int64_t size = plan.body ? static_cast<int64_t>(plan.body->size()) : plan.patternSize;
        int status = plan.status;
        int64_t from = 0;
        int64_t stop = size;  // one past the last byte sent
        bool hasBody = status == 200;
        if (status == 200 && plan.rangePiece > 0) req.rangeStart = std::max<int64_t>(req.rangeStart, 0);
        if (status == 200 && req.rangeStart >= 0 && plan.honourRange) {
            if (req.rangeStart >= size) {
                status = 416;
                hasBody = false;
            } else {
                status = 206;
                from = req.rangeStart;
                if (plan.rangePiece > 0) stop = std::min(size, from + plan.rangePiece);
            }
        }
        std::string out = (plan.icy ? "ICY " : "HTTP/1.1 ") + std::to_string(status) + " " +
                          StatusReason(status) + "\r\n";
        out += "Connection: close\r\n";
        const bool meta = plan.icy && plan.metaInt > 0 &&
                          req.head.find("\r\nIcy-MetaData: 1\r\n") != std::string::npos;
        if (plan.icy) out += "icy-name: test stream\r\n";
        if (meta) out += "icy-metaint: " + std::to_string(plan.metaInt) + "\r\n";
        if (!plan.location.empty()) out += "Location: " + plan.location + "\r\n";
        for (auto& line : plan.extraHeaders) out += line + "\r\n";
        if (hasBody) {
            out += "Content-Type: " + plan.contentType + "\r\n";
            if (plan.honourRange) out += "Accept-Ranges: bytes\r\n";
            if (status == 206) {
                out += "Content-Range: bytes " + std::to_string(from) + "-" +
                       std::to_string(stop - 1) + "/" + std::to_string(size) + "\r\n";
            }
            if (plan.chunked) {
                out += "Transfer-Encoding: chunked\r\n";
            } else if (plan.sendContentLength && !plan.icy) {
                out += "Content-Length: " + std::to_string(stop - from) + "\r\n";
            }
        } else {
            out += "Content-Length: 0\r\n";
        }
        out += "\r\n";
        if (plan.headByteDelayMs > 0) {
            bool ok = true;
            for (size_t i = 0; i < out.size() && ok; ++i) {
                ok = SendAll(fd, ssl, &out[i], 1) && Pause(plan.headByteDelayMs);
            }
            if (!ok) break;
        } else if (!SendAll(fd, ssl, out.data(), out.size())) {
            break;
        }
        if (!hasBody) break;

        int64_t sent = 0;
        const int64_t total = stop - from;
        std::string piece;
        bool stalled = false;
        while (sent < total && !mStop.load()) {
            int64_t n = std::min<int64_t>(total - sent, 65536);
            if (plan.trickleBytes > 0) n = std::min<int64_t>(n, plan.trickleBytes);
            if (plan.closeAfter >= 0) {
                if (sent >= plan.closeAfter) {
                    reset = plan.resetInsteadOfClose;
                    break;
                }
                n = std::min<int64_t>(n, plan.closeAfter - sent);
            }
            if (plan.stallAfter >= 0 && !stalled) {
                if (sent >= plan.stallAfter) {
                    stalled = true;
                    if (!Pause(plan.stallMs)) break;
                    continue;
                }
                n = std::min<int64_t>(n, plan.stallAfter - sent);
            }
            if (plan.body) {
                piece.assign(*plan.body, static_cast<size_t>(from + sent), static_cast<size_t>(n));
            } else {
                piece = PatternBytes(from + sent, n);
            }
            if (meta) {
                // Cut at the metadata points and put a block in each.
                std::string framed;
                for (int64_t i = 0; i < n; ++i) {
                    framed += piece[static_cast<size_t>(i)];
                    int64_t at = from + sent + i + 1;
                    if (at % plan.metaInt == 0) {
                        int64_t block = at / plan.metaInt - 1;
                        std::string text = plan.titles.empty()
                                               ? std::string()
                                               : "StreamTitle='" + plan.titles[block % plan.titles.size()] + "';";
                        size_t blocks = (text.size() + 15) / 16;
                        text.resize(blocks * 16, '\0');
                        framed += static_cast<char>(blocks);
                        framed += text;
                    }
                }
                piece = framed;
            }
            if (plan.chunked) {
                char size_line[32];
                snprintf(size_line, sizeof(size_line), "%llx\r\n",
                         static_cast<unsigned long long>(piece.size()));
                piece = size_line + piece + "\r\n";
            }
            if (!SendAll(fd, ssl, piece.data(), piece.size())) break;
            sent += n;
            if (plan.trickleDelayMs > 0 && !Pause(plan.trickleDelayMs)) break;
        }
        if (plan.chunked && sent >= total) SendAll(fd, ssl, "0\r\n\r\n", 5);
        if (plan.rangePiece > 0 && sent >= total) Pause(-1);
    } while (false);

    {
        std::lock_guard<std::mutex> g(mLock);
        mOpenFds.erase(std::remove(mOpenFds.begin(), mOpenFds.end(), fd), mOpenFds.end());
    }
    if (ssl) {
        if (!reset) SSL_shutdown(ssl);
        SSL_free(ssl);
        ERR_clear_error();
    }
    if (reset) {
        // A reset drops what is still queued to send: cut only once the client has it all, or
        // where the cut falls depends on how fast the client read.
        for (int i = 0; i < 2500; ++i) {
            int queued = 0;
            if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0 || !Pause(2)) break;
        }
        linger l = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    } else {
        shutdown(fd, SHUT_WR);
        // Let the client see the end of the stream before the socket goes.
        char sink[1024];
        for (int i = 0; i < 20; ++i) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) break;
            if (recv(fd, sink, sizeof(sink), 0) <= 0) break;
        }
    }
    close(fd);
}

void HttpTestServer::Tunnel(int fd, const HttpPlan& plan) {
    std::string out = "HTTP/1.1 200 Connection established\r\n";
    for (auto& line : plan.extraHeaders) out += line + "\r\n";
    out += "\r\n";
    int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(plan.tunnelPort));
    if (connect(up, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        SendAll(fd, nullptr, out.data(), out.size())) {
        char buf[16384];
        pollfd p[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
        while (!mStop.load()) {
            if (poll(p, 2, 50) <= 0) continue;
            int from = (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ? 0 : 1;
            ssize_t n = recv(p[from].fd, buf, sizeof(buf), 0);
            if (n <= 0 || !SendAll(p[1 - from].fd, nullptr, buf, static_cast<size_t>(n))) break;
        }
    }
    close(up);
}

// ---- BlockedListener ----

BlockedListener::BlockedListener() {
    mListen = ListenOn(false, 0, &mPort);
    if (mListen < 0) return;
    // The first connection takes the only queue slot; later ones stay unanswered.
    mFiller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(mPort));
    connect(mFiller, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    pollfd p = {mFiller, POLLOUT, 0};
    mOk = poll(&p, 1, 2000) == 1;
}

BlockedListener::~BlockedListener() {
    if (mFiller >= 0) close(mFiller);
    if (mListen >= 0) close(mListen);
}

// ---- files ----

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// ---- NginxServer ----

namespace {
const char* NginxBinary() {
    static const char* candidates[] = {"/usr/sbin/nginx", "/usr/bin/nginx"};
    for (const char* c : candidates)
        if (access(c, X_OK) == 0) return c;
    return nullptr;
}
}  // namespace

bool NginxServer::Available() { return NginxBinary() != nullptr; }

NginxServer::NginxServer(const std::string& root) : mRoot(root) {}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(mPort) + target;
}

bool NginxServer::Start() {
    const char* binary = NginxBinary();
    if (!binary) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A free port: bind, read it back, let go, hand it to nginx.
        int port = 0;
        int probe = ListenOn(false, 1, &port);
        if (probe < 0) return false;
        close(probe);
        mPrefix = MakeTempDir("kva_nginx_");
        mkdir((mPrefix + "/tmp").c_str(), 0700);
        std::string conf = mPrefix + "/nginx.conf";
        std::ostringstream c;
        c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
          << "pid " << mPrefix << "/nginx.pid;\nerror_log " << mPrefix << "/error.log error;\n"
          << "events { worker_connections 256; }\n"
          << "http {\n  access_log off;\n  default_type application/octet-stream;\n"
          << "  client_body_temp_path " << mPrefix << "/tmp/body;\n"
          << "  proxy_temp_path " << mPrefix << "/tmp/proxy;\n"
          << "  fastcgi_temp_path " << mPrefix << "/tmp/fastcgi;\n"
          << "  uwsgi_temp_path " << mPrefix << "/tmp/uwsgi;\n"
          << "  scgi_temp_path " << mPrefix << "/tmp/scgi;\n"
          << "  sendfile on;\n"
          << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << mRoot << ";\n"
          << "    location / { }\n  }\n}\n";
        if (!WriteFile(conf, c.str())) return false;
        std::string errorLog = mPrefix + "/error.log";
        const char* argv[] = {binary, "-p", mPrefix.c_str(), "-c", conf.c_str(),
                              "-e", errorLog.c_str(), nullptr};
        pid_t pid;
        if (posix_spawn(&pid, binary, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            RemoveTree(mPrefix);
            return false;
        }
        mPid = pid;
        mPort = port;
        // Ready when it accepts; give up after about five seconds.
        for (int i = 0; i < 100; ++i) {
            int st;
            if (waitpid(mPid, &st, WNOHANG) == mPid) {
                mPid = -1;
                break;
            }
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a;
            memset(&a, 0, sizeof(a));
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(port));
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
            close(fd);
            if (ok) return true;
            usleep(50000);
        }
        Stop();
    }
    return false;
}

void NginxServer::Stop() {
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        int st;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(mPid, &st, WNOHANG) == mPid) break;
            usleep(20000);
            if (i == 99) {
                kill(mPid, SIGKILL);
                waitpid(mPid, &st, 0);
            }
        }
        mPid = -1;
    }
    if (!mPrefix.empty()) {
        RemoveTree(mPrefix);
        mPrefix.clear();
    }
}

}  // namespace kva_test
