// Network reader figures against nginx on loopback (the test server when nginx is missing):
//  1. throughput of the download thread into the block cache, against a plain socket that
//     fetches the same file in the same run;
//  2. CPU used by the download thread while the cache is full (it must sleep, not spin),
//     against the same thread while it downloads.
// Usage: bench_network [runs]   (default 5; medians are printed)
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/HttpTestServer.h"
#include "common/TestPaths.h"
#include "harness/Row.h"
#include "source/KVABufferReaderProxy.h"
#include "support/Log.h"

using namespace kva_audioplayer;

namespace {

const int64_t kMiB = 1048576;

double NowSec() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// CPU seconds of the thread with this name in our process (-1 when not found), from the
// scheduler's nanosecond account.
double ThreadCpuSeconds(const char* name) {
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    double result = -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string n;
        std::getline(comm, n);
        if (n != name) continue;
        std::ifstream sched(base + "/schedstat");
        double ns = -1;
        if (sched >> ns) result = ns / 1e9;
    }
    closedir(dir);
    return result;
}

// Plain socket GET of the whole resource into a reused buffer: the peer figure.
double PlainFetchSeconds(int port, const std::string& path, int64_t expect) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    double t0 = NowSec();
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::vector<char> buf(32768);
    int64_t got = 0;
    for (int i = 0; i < 10000000; ++i) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got += n;
    }
    double t = NowSec() - t0;
    close(fd);
    return got >= expect ? t : -1;
}

// curl -o /dev/null of the same resource: its own average download speed in MB/s, or -1.
double CurlMBs(const std::string& url) {
    FILE* p = popen(("curl -s -o /dev/null -w '%{speed_download}' '" + url + "' 2>/dev/null").c_str(), "r");
    if (!p) return -1;
    double bytesPerSec = -1;
    if (fscanf(p, "%lf", &bytesPerSec) != 1) bytesPerSec = -1;
    return pclose(p) == 0 && bytesPerSec > 0 ? bytesPerSec / 1e6 : -1;
}

// Milliseconds from kvaplay's start to the first audio: the status "started" once no buffering
// is outstanding (else the buffering end that follows it). -1 when it never came.
double FirstAudioMs(const std::string& media) {
    std::string cmd = std::string(KVA_BINARY_DIR) + "/tools/kvaplay/kvaplay --output=wav:/dev/null " +
                      "--fast --json --quiet " + media + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char line[512];
    bool buffering = false, started = false;
    double result = -1;
    while (fgets(line, sizeof(line), p)) {
        int ms = 0, id = 0, p1 = 0;
        const char* m = strstr(line, "\"ms\": ");
        const char* i = strstr(line, "\"id\": ");
        const char* a = strstr(line, "\"param1\": ");
        if (!m || !i || !a) continue;
        ms = atoi(m + 6);
        id = atoi(i + 6);
        p1 = atoi(a + 10);
        if (result >= 0) continue;
        if (id == 200) buffering = p1 == 701;
        if (id == 300 && p1 == 5) started = true;
        if (started && !buffering) result = ms;
    }
    pclose(p);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    SetLogDebugOutput(0);

    const int64_t fillSize = 30 * kMiB;   // fits the cache: the download never pauses
    const int64_t bigSize = 100 * kMiB;   // larger than the cache: it fills and waits
    std::string root = kva_test::MakeTempDir("kva_bench_www_");
    {
        std::ofstream f(root + "/fill.bin", std::ios::binary);
        std::string chunk = kva_test::PatternBytes(0, kMiB);
        for (int64_t i = 0; i < fillSize / kMiB; ++i) f.write(chunk.data(), kMiB);
        std::ofstream g(root + "/big.bin", std::ios::binary);
        for (int64_t i = 0; i < bigSize / kMiB; ++i) g.write(chunk.data(), kMiB);
    }

    std::unique_ptr<kva_test::NginxServer> nginx;
    std::unique_ptr<kva_test::HttpTestServer> fallback;
    int port = 0;
    const char* serverName;
    if (kva_test::NginxServer::Available()) {
        nginx.reset(new kva_test::NginxServer(root));
        if (nginx->Start()) port = nginx->Port();
    }
    if (port) {
        serverName = "nginx";
    } else {
        nginx.reset();
        fallback.reset(new kva_test::HttpTestServer());
        fallback->Start();
        kva_test::HttpPlan fill, big;
        fill.patternSize = fillSize;
        big.patternSize = bigSize;
        fallback->Serve("/fill.bin", fill);
        fallback->Serve("/big.bin", big);
        port = fallback->Port();
        serverName = "loopback test server";
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    printf("bench_network: %s on 127.0.0.1:%d, %d runs, medians\n", serverName, port, runs);

    // 1. Throughput into the cache: a watcher samples the window from the first byte in to the
    //    last (so the wait inside Open does not count); the thread's CPU over the same span.
    std::vector<double> readerMBs, plainMBs, curlMBs, busyPct;
    for (int i = 0; i < runs; ++i) {
        CKVABufferReaderProxy r(0, (base + "/fill.bin").c_str());
        double tFirst = 0, tLast = 0, cFirst = -1, cLast = -1;
        int64_t aFirst = 0;
        std::atomic<bool> stop{false};
        std::thread watcher([&] {
            for (int w = 0; w < 20000000 && !stop.load(); ++w) {
                int64_t a = r.GetAvailableSize();
                if (a > 0 && aFirst == 0) {
                    tFirst = NowSec();
                    aFirst = a;
                    cFirst = ThreadCpuSeconds("BufDownloadThre");
                }
                if (a >= fillSize) {
                    tLast = NowSec();
                    cLast = ThreadCpuSeconds("BufDownloadThre");
                    return;
                }
                usleep(200);  // leave the locks and the cores to the thread measured
            }
        });
        int32_t rc = r.Open();
        for (int w = 0; w < 100000 && rc == kSourceOk && tLast == 0; ++w) usleep(100);
        stop = true;
        watcher.join();
        if (rc != kSourceOk) {
            printf("open failed: %d\n", r.GetErrorCode());
            return 1;
        }
        if (tLast > tFirst) {
            readerMBs.push_back((fillSize - aFirst) / (tLast - tFirst) / 1e6);
            if (cFirst >= 0 && cLast >= 0) busyPct.push_back((cLast - cFirst) / (tLast - tFirst) * 100);
        }
        r.Close();
        double p = PlainFetchSeconds(port, "/fill.bin", fillSize);
        if (p > 0) plainMBs.push_back(fillSize / p / 1e6);
        double c = CurlMBs(base + "/fill.bin");
        if (c > 0) curlMBs.push_back(c);
    }
    double reader = Median(readerMBs), plain = Median(plainMBs), curl = Median(curlMBs);
    printf("throughput into the block cache: %.0f MB/s\n", reader);
    printf("plain socket fetch, same file:   %.0f MB/s\n", plain);
    printf("curl -o /dev/null, same file:    %.0f MB/s\n", curl);
    printf("ratio reader / curl:             %.2f\n", curl > 0 ? reader / curl : 0);
    kva_bench::Row("network reader MB/s", reader, kva_bench::kAbsent, curl > 0 ? curl : kva_bench::kAbsent,
                   ">= 0.8 of peer");

    // 2. Download thread CPU while the cache is full.
    std::vector<double> fullPct;
    for (int i = 0; i < runs; ++i) {
        CKVABufferReaderProxy r(0, (base + "/big.bin").c_str());
        if (r.Open() != kSourceOk) return 1;
        int64_t last = -1;
        // Full once the window stops growing for a tenth of a second.
        for (int w = 0; w < 200; ++w) {
            usleep(100000);
            int64_t now = r.GetAvailableSize();
            if (now == last && now > 0) break;
            last = now;
        }
        double c1 = ThreadCpuSeconds("BufDownloadThre");
        double t1 = NowSec();
        usleep(2000000);
        double c2 = ThreadCpuSeconds("BufDownloadThre");
        double t2 = NowSec();
        if (c1 >= 0 && c2 >= 0) fullPct.push_back((c2 - c1) / (t2 - t1) * 100);
        int64_t s, e;
        r.GetBufferedRange(&s, &e);
        if (i == 0) {
            printf("cache full at %.1f MiB buffered in %d blocks\n", (e - s) / double(kMiB),
                   r.GetCacheCount());
        }
        r.Close();
    }
    double full = Median(fullPct), busy = Median(busyPct);
    printf("download thread CPU, cache full:  %.3f %% of one core (target near 0)\n", full);
    printf("download thread CPU, downloading: %.1f %% of one core\n", busy);
    printf("ratio full / downloading:         %.4f\n", busy > 0 ? full / busy : 0);
    kva_bench::Row("download thread CPU % of a core, cache full", full, kva_bench::kAbsent,
                   kva_bench::kAbsent, "-");

    // 3. Time to first audio through kvaplay (fast WAV output), the local file as the peer.
    const std::string fixture = std::string(KVA_FIXTURE_DIR) + "/flac16.flac";
    const std::string player = std::string(KVA_BINARY_DIR) + "/tools/kvaplay/kvaplay";
    std::ifstream in(fixture, std::ios::binary);
    if (access(player.c_str(), X_OK) == 0 && in) {
        std::ofstream copy(root + "/t.flac", std::ios::binary);
        copy << in.rdbuf();
        copy.close();
        std::vector<double> local, net;
        for (int i = 0; i < runs; ++i) {
            double a = FirstAudioMs(fixture), b = FirstAudioMs(base + "/t.flac");
            if (a >= 0) local.push_back(a);
            if (b >= 0) net.push_back(b);
        }
        double l = Median(local), n = Median(net);
        printf("time to first audio, http:        %.0f ms (kvaplay from its start)\n", n);
        printf("time to first audio, local file:  %.0f ms\n", l);
        printf("difference http - local:          %.0f ms\n", n - l);
        kva_bench::Row("first audio, http, beyond a local file's (ms)", n - l, kva_bench::kAbsent,
                       kva_bench::kAbsent, "<= 20");
    } else {
        printf("time to first audio: skipped (build kvaplay and the fixtures first)\n");
    }
    if (nginx) nginx->Stop();
    if (fallback) fallback->Stop();
    kva_test::RemoveTree(root);
    return 0;
}
