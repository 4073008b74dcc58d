#include "common/HttpTestServer.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/TestProcess.h"

namespace kva_test {

namespace {

const int kMaxConnections = 20000;  // a runaway client cannot keep the server busy forever
const size_t kMaxRequestHead = 65536;

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// On 127.0.0.1, or on ::1 alone.
int ListenOn(int backlog, int* port, bool v6 = false) {
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in a4 = Loopback(0);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    sockaddr* a = v6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t len = v6 ? sizeof(a6) : sizeof(a4);
    if (bind(fd, a, len) != 0 || listen(fd, backlog) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    getsockname(fd, a, &len);
    *port = ntohs(v6 ? a6.sin6_port : a4.sin_port);
    return fd;
}

// -1 on failure; a non-blocking connect may still be in progress.
int ConnectTo(int port, int flags = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in a = Loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string PatternBytes(int64_t offset, int64_t length) {
    std::string out(static_cast<size_t>(length), '\0');
    for (int64_t i = 0; i < length; ++i) {
        uint64_t x = static_cast<uint64_t>(offset + i) * 0x9E3779B97F4A7C15ull;
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        out[size_t(i)] = static_cast<char>(x ^ (x >> 32));
    }
    return out;
}

HttpTestServer::~HttpTestServer() {
    Stop();
    if (mSslCtx) SSL_CTX_free(mSslCtx);
}

bool HttpTestServer::EnableTls(const std::string& certFile, const std::string& keyFile) {
    signal(SIGPIPE, SIG_IGN);  // the server's TLS writes to a client that went away
    mSslCtx = SSL_CTX_new(TLS_server_method());
    return mSslCtx && SSL_CTX_set_min_proto_version(mSslCtx, TLS1_2_VERSION) == 1 &&
           SSL_CTX_use_certificate_chain_file(mSslCtx, certFile.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(mSslCtx, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
}

bool HttpTestServer::Start(bool v6) {
    mV6 = v6;
    mListen = ListenOn(64, &mPort, v6);
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
    for (auto& t : mWorkers) t.join();  // the accept loop, the only one to add workers, is gone
    mWorkers.clear();
    close(mListen);
    mListen = -1;
}

std::vector<HttpRequest> HttpTestServer::RequestsFor(const std::string& path) {
    std::vector<HttpRequest> out;
    for (auto& r : Requests()) if (r.path == path) out.push_back(r);
    return out;
}

void HttpTestServer::ReleaseStalls() {
    { std::lock_guard<std::mutex> g(mLock); mReleased = true; }
    mStopCv.notify_all();
}

bool HttpTestServer::Pause(int ms) {
    std::unique_lock<std::mutex> g(mLock);
    auto over = [&] { return mStop.load() || (ms == HttpPlan::kUntilReleased && mReleased.load()); };
    if (ms >= 0)
        mStopCv.wait_for(g, std::chrono::milliseconds(ms), over);
    else
        mStopCv.wait(g, over);
    return !mStop.load();
}

void HttpTestServer::AcceptLoop() {
    while (!mStop.load()) {
        pollfd p = {mListen, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> g(mLock);
        if (mConnections.fetch_add(1) >= kMaxConnections || mStop.load()) {
            close(fd);
            continue;
        }
        mOpenFds.push_back(fd);
        mWorkers.emplace_back([this, fd] { Serve(fd); });
    }
}

bool HttpTestServer::SendAll(int fd, ssl_st* ssl, const char* data, size_t length) {
    for (size_t sent = 0; sent < length;) {
        if (mStop.load()) return false;
        ssize_t n = ssl ? SSL_write(ssl, data + sent, static_cast<int>(length - sent))
                        : send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

void HttpTestServer::Serve(int fd) {
    SSL* ssl = mSslCtx ? SSL_new(mSslCtx) : nullptr;
    bool usable = true, reset = false;
    if (ssl) {
        SSL_set_fd(ssl, fd);
        usable = SSL_accept(ssl) == 1;  // a failed handshake ends the connection
        ERR_clear_error();
    }
    std::string head;
    char buf[4096];
    while (usable && head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead &&
           !mStop.load()) {
        pollfd p = {fd, POLLIN, 0};
        if ((!ssl || SSL_pending(ssl) <= 0) && poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ssl ? SSL_read(ssl, buf, sizeof(buf)) : recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        head.append(buf, size_t(n));
    }
    const size_t end = head.find("\r\n\r\n");
    if (end != std::string::npos) {
        HttpRequest req;
        req.head = head.substr(0, end + 4);
        std::istringstream(req.head) >> req.method >> req.target;
        req.path = req.target.substr(0, req.target.find('?'));
        if (req.path.compare(0, 7, "http://") == 0) req.path.erase(0, std::min(req.path.find('/', 7), req.path.size()));
        const size_t range = req.head.find("\r\nRange: bytes=");
        if (range != std::string::npos) req.rangeStart = atoll(req.head.c_str() + range + 15);
        reset = Answer(fd, ssl, req);
    }
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
        int queued = 0;
        for (int i = 0; i < 2500 && ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && Pause(2); ++i) {}
        linger l = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    } else {
        shutdown(fd, SHUT_WR);
        // Let the client see the end of the stream before the socket goes.
        pollfd p = {fd, POLLIN, 0};
        for (int i = 0; i < 20 && poll(&p, 1, 50) > 0 && recv(fd, buf, sizeof(buf), 0) > 0; ++i) {}
    }
    close(fd);
}

bool HttpTestServer::Answer(int fd, ssl_st* ssl, HttpRequest& req) {
    HttpHandler handler;
    {
        std::lock_guard<std::mutex> g(mLock);
        req.index = mCounts[req.path]++;
        mRequests.push_back(req);
        auto it = mRoutes.find(req.path);
        if (it != mRoutes.end()) handler = it->second;
    }
    HttpPlan plan = handler ? handler(req) : HttpPlan();
    if (!handler) plan.status = 404;
    if (req.method == "CONNECT" && plan.status == 200 && plan.tunnelPort > 0) {
        Tunnel(fd, plan);
        return false;
    }
    if (!plan.rawResponse.empty()) {
        SendAll(fd, ssl, plan.rawResponse.data(), plan.rawResponse.size());
        return false;
    }

    const int64_t size = plan.body ? int64_t(plan.body->size()) : plan.patternSize;
    int status = plan.status;
    int64_t from = 0, stop = size;  // stop: one past the last byte sent
    if (status == 200 && plan.rangePiece > 0) req.rangeStart = std::max<int64_t>(req.rangeStart, 0);
    if (status == 200 && req.rangeStart >= 0 && plan.honourRange) {
        status = req.rangeStart >= size ? 416 : 206;
        from = req.rangeStart;
        if (plan.rangePiece > 0) stop = std::min(size, from + plan.rangePiece);
    }
    const bool hasBody = plan.status == 200 && status != 416;
    const bool meta = plan.metaInt > 0 && req.head.find("\r\nIcy-MetaData: 1\r\n") != std::string::npos;
    std::string out = (plan.icy ? "ICY " : "HTTP/1.1 ") + std::to_string(status) +
                      " Answer\r\nConnection: close\r\n";  // the client reads no reason phrase
    if (plan.icy) out += "icy-name: test stream\r\n";
    if (meta) out += "icy-metaint: " + std::to_string(plan.metaInt) + "\r\n";
    if (!plan.location.empty()) out += "Location: " + plan.location + "\r\n";
    for (auto& line : plan.extraHeaders) out += line + "\r\n";
    if (!hasBody) {
        out += "Content-Length: 0\r\n";
    } else {
        out += "Content-Type: " + plan.contentType + "\r\n";
        if (plan.honourRange) out += "Accept-Ranges: bytes\r\n";
        if (status == 206)
            out += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(stop - 1) + "/" +
                   std::to_string(size) + "\r\n";
        if (plan.chunked)
            out += "Transfer-Encoding: chunked\r\n";
        else if (plan.sendContentLength && !plan.icy)
            out += "Content-Length: " + std::to_string(stop - from) + "\r\n";
    }
    out += "\r\n";
    const size_t step = plan.headByteDelayMs > 0 ? 1 : out.size();
    for (size_t i = 0, peek = 0; i < out.size(); i += step) {
        const bool gone = step == 1 && (!Pause(plan.headByteDelayMs) || recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0);
        if (gone || !SendAll(fd, ssl, &out[i], step)) return false;
        if (step == 1) { std::lock_guard<std::mutex> g(mLock); ++mHeadBytes[req.path]; }
    }
    if (!hasBody) return false;

    const int64_t total = stop - from;
    int64_t sent = 0;
    bool stalled = false;
    std::string piece;
    while (sent < total && !mStop.load()) {
        int64_t n = std::min<int64_t>(total - sent, 65536);
        if (plan.trickleBytes > 0) n = std::min<int64_t>(n, plan.trickleBytes);
        if (plan.closeAfter >= 0) {
            if (sent >= plan.closeAfter) return plan.resetInsteadOfClose;
            n = std::min(n, plan.closeAfter - sent);
        }
        if (plan.stallAfter >= 0 && !stalled) {
            if (sent >= plan.stallAfter) {
                stalled = true;
                if (!Pause(plan.stallMs)) return false;
                continue;
            }
            n = std::min(n, plan.stallAfter - sent);
        }
        piece = plan.body ? plan.body->substr(size_t(from + sent), size_t(n)) : PatternBytes(from + sent, n);
        if (meta) {  // cut at the metadata points and put a block in each
            std::string framed;
            for (int64_t i = 0; i < n; ++i) {
                framed += piece[size_t(i)];
                const int64_t at = from + sent + i + 1;
                if (at % plan.metaInt) continue;
                std::string text = plan.titles.empty() ? std::string()
                    : "StreamTitle='" + plan.titles[size_t(at / plan.metaInt - 1) % plan.titles.size()] + "';";
                text.resize((text.size() + 15) / 16 * 16, '\0');
                framed += static_cast<char>(text.size() / 16) + text;
            }
            piece.swap(framed);
        }
        if (plan.chunked) {
            char line[24];
            snprintf(line, sizeof(line), "%zx\r\n", piece.size());
            piece = line + piece + "\r\n";
        }
        if (!SendAll(fd, ssl, piece.data(), piece.size())) return false;
        sent += n;
        if (plan.trickleDelayMs > 0 && !Pause(plan.trickleDelayMs)) return false;
    }
    if (plan.chunked && sent >= total) SendAll(fd, ssl, "0\r\n\r\n", 5);
    if (plan.rangePiece > 0 && sent >= total) Pause(-1);
    return false;
}

void HttpTestServer::Tunnel(int fd, const HttpPlan& plan) {
    std::string out = "HTTP/1.1 200 Connection established\r\n";
    for (auto& line : plan.extraHeaders) out += line + "\r\n";
    out += "\r\n";
    const int up = ConnectTo(plan.tunnelPort);
    bool open = up >= 0 && SendAll(fd, nullptr, out.data(), out.size());
    pollfd p[2] = {{fd, POLLIN, 0}, {up, POLLIN, 0}};
    char buf[16384];
    while (open && !mStop.load()) {
        if (poll(p, 2, 50) <= 0) continue;
        const int from = (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ? 0 : 1;
        const ssize_t n = recv(p[from].fd, buf, sizeof(buf), 0);
        open = n > 0 && SendAll(p[1 - from].fd, nullptr, buf, size_t(n));
    }
    if (up >= 0) close(up);
}

BlockedListener::BlockedListener() {
    mListen = ListenOn(0, &mPort);
    // The first connection takes the only queue slot; later ones stay unanswered.
    mFiller = mListen < 0 ? -1 : ConnectTo(mPort, SOCK_NONBLOCK);
    pollfd p = {mFiller, POLLOUT, 0};
    mOk = mFiller >= 0 && poll(&p, 1, 2000) == 1;
}

BlockedListener::~BlockedListener() {
    if (mFiller >= 0) close(mFiller);
    if (mListen >= 0) close(mListen);
}

static std::string NginxBinary() {
    for (const char* c : {"/usr/sbin/nginx", "/usr/bin/nginx"})
        if (access(c, X_OK) == 0) return c;
    return std::string();
}

bool NginxServer::Available() { return !NginxBinary().empty(); }

bool NginxServer::Start() {
    const std::string binary = NginxBinary();
    for (int attempt = 0; !binary.empty() && attempt < 3; ++attempt) {
        Stop();
        // A free port: bind, read it back, let go, hand it to nginx (which may lose it to a race).
        const int probe = ListenOn(1, &mPort);
        if (probe < 0) return false;
        close(probe);
        mPrefix = MakeTempDir("kva_nginx_");
        std::ostringstream c;
        c << "master_process off;\nworker_processes 1;\npid " << mPrefix << "/nginx.pid;\nerror_log "
          << mPrefix << "/error.log error;\n"
          << "events { worker_connections 256; }\nhttp {\n  access_log " << mPrefix << "/access.log;\n  sendfile on;\n"
          << "  default_type application/octet-stream;\n";
        for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            c << "  " << t << "_temp_path " << mPrefix << "/" << t << ";\n";
        c << "  server {\n    listen 127.0.0.1:" << mPort << ";\n    root " << mRoot << ";\n"
          << "    location /slow/ { limit_rate 25k; }\n    location /norange/ { alias " << mRoot
          << "/; max_ranges 0; }\n";
        if (mUpstream)
            c << "    location /up/ { proxy_pass http://127.0.0.1:" << mUpstream
              << "/; proxy_buffering off; proxy_http_version 1.1; }\n";
        c << "  }\n}\n";
        if (!WriteFile(mPrefix + "/nginx.conf", c.str())) return false;
        // As a daemon it listens before the command returns.
        int status = -1;
        RunCommand(binary + " -p " + mPrefix + " -c " + mPrefix + "/nginx.conf -e " + mPrefix +
                       "/error.log >" + mPrefix + "/out.log 2>&1",
                   &status);
        if (status == 0) return true;
        RemoveTree(mPrefix);
        mPrefix.clear();
    }
    return false;
}

void NginxServer::Signal(int signal) {
    if (mPrefix.empty()) return;
    std::string pid;  // the daemon writes it just after the command returned
    WaitUntil([&] { return !(pid = ReadFile(mPrefix + "/nginx.pid")).empty(); }, 2000);
    if (std::atoi(pid.c_str()) > 0) kill(std::atoi(pid.c_str()), signal);
}

size_t NginxServer::RequestsFor(const std::string& target) const {
    const std::string log = ReadFile(mPrefix + "/access.log"), line = "\"GET " + target + " ";
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
}

void NginxServer::Stop() {
    if (mPrefix.empty()) return;
    Signal(SIGCONT);  // a stopped process would not take the TERM
    Signal(SIGTERM);
    RemoveTree(mPrefix);
    mPrefix.clear();
}

}  // namespace kva_test
