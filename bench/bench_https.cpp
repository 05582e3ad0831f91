// The HTTP client over TLS against libcurl (Debian's, on the same OpenSSL),
// side by side in one run against one nginx with a certificate of a
// throw-away authority made here:
//   bench_https [requests] [parts]  request rate with a full handshake each,
//                                   body throughput, waiting (parts: "123")
//   bench_https fetch <client> <port> <path> <ca file>
//                                   one throughput measurement in a process
//                                   of its own

#include "bench/BenchSupport.h"
#include "net/HttpProt.h"
#include "tests/support/NginxTlsFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <cstdlib>
#include <curl/curl.h>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

constexpr int kRateRounds = 5;

std::size_t CurlCount(char *, std::size_t size, std::size_t nmemb, void *user)
{
    *static_cast<std::size_t *>(user) += size * nmemb;
    return size * nmemb;
}

// libcurl made to do what the client does: a new connection and a full
// handshake for every request, verification against the same authority.
CURL *CurlHandle(const std::string &url, const std::string &caFile, std::size_t &count)
{
    CURL *h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, CurlCount);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &count);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    return h;
}

struct Rate {
    double perSecond = 0;
    double cpuMicros = 0;
};

Rate Measure(int n, const std::function<void()> &one)
{
    for (int i = 0; i < n / 20 + 1; ++i)
        one();
    Stopwatch watch;
    for (int i = 0; i < n; ++i)
        one();
    return {n / watch.WallSeconds(), watch.CpuSecondsUsed() * 1e6 / n};
}

void Best(Rate &best, const Rate &round)
{
    best.perSecond = std::max(best.perSecond, round.perSecond);
    if (best.cpuMicros == 0 || round.cpuMicros < best.cpuMicros)
        best.cpuMicros = round.cpuMicros;
}

void RequestRate(NginxTlsServer &nginx, const std::string &caFile, int n)
{
    const std::string url = "https://localhost:" + nginx.PortText().toStdString() + "/page1k.html";
    std::printf("\n1. HTTPS request rate: %d sequential GETs of a 1 KiB page, new connection and full handshake each "
                "(best of %d rounds)\n",
                n, kRateRounds);
    THttpCli cli;
    cli.SetURL(url);
    std::size_t count = 0;
    CURL *h = CurlHandle(url, caFile, count);
    Rate ours, curl;
    for (int round = 0; round < kRateRounds; ++round) {
        Best(ours, Measure(n, [&] {
                 DiscardStream page;
                 cli.SetRcvdStream(&page);
                 cli.Get();
                 if (page.Size() != 1024)
                     throw std::runtime_error("THttpCli: wrong page size");
             }));
        Best(curl, Measure(n, [&] {
                 count = 0;
                 const CURLcode rc = curl_easy_perform(h);
                 if (rc != CURLE_OK || count != 1024)
                     throw std::runtime_error(std::string("libcurl: ") + curl_easy_strerror(rc));
             }));
    }
    curl_easy_cleanup(h);
    std::printf("  %-22s %10s %16s\n", "client", "requests/s", "CPU us/request");
    std::printf("  %-22s %10.0f %16.1f\n", "THttpCli::Get", ours.perSecond, ours.cpuMicros);
    std::printf("  %-22s %10.0f %16.1f\n", "libcurl easy", curl.perSecond, curl.cpuMicros);
    std::printf("  ours/libcurl rate %.2f\n", ours.perSecond / curl.perSecond);
    Verdict("at least as fast as libcurl (rate ratio >= 1.00)", ours.perSecond >= curl.perSecond);
}

int FetchChild(const std::string &client, const std::string &port, const std::string &path, const std::string &caFile)
{
    const std::string url = "https://localhost:" + port + path;
    std::int64_t got = 0;
    Stopwatch watch;
    if (client == "ours") {
        qputenv("SSL_CERT_FILE", QByteArray::fromStdString(caFile));
        THttpCli cli;
        DiscardStream sink;
        cli.SetURL(url);
        cli.SetRcvdStream(&sink);
        cli.Get();
        got = sink.Size();
    } else {
        std::size_t count = 0;
        CURL *h = CurlHandle(url, caFile, count);
        if (curl_easy_perform(h) != CURLE_OK)
            return 1;
        curl_easy_cleanup(h);
        got = static_cast<std::int64_t>(count);
    }
    const double seconds = watch.WallSeconds();
    if (got != kBigBody) {
        std::fprintf(stderr, "%s: got %lld bytes\n", client.c_str(), static_cast<long long>(got));
        return 1;
    }
    std::printf("%.1f %.1f\n", static_cast<double>(got) / 1e6 / seconds, PeakRssMiB());
    return 0;
}

void Throughput(NginxTlsServer &nginx, const std::string &caFile, const QString &self)
{
    std::printf("\n2. Body throughput over TLS: one GET of a 256 MiB file (each in a process of its own, best of 3)\n");
    std::printf("  %-14s %10s %14s\n", "client", "MB/s", "peak RSS MiB");
    double rate[2] = {}, peak[2] = {};
    const char *clients[] = {"ours", "curl"};
    for (int round = 0; round < 3; ++round)
        for (int c = 0; c < 2; ++c) {
            QProcess child;
            child.start(self, {"fetch", clients[c], nginx.PortText(), "/big.bin", QString::fromStdString(caFile)});
            if (!child.waitForFinished(300000) || child.exitCode() != 0)
                throw std::runtime_error("throughput child failed: " + child.readAllStandardError().toStdString());
            double r = 0, p = 0;
            std::sscanf(child.readAllStandardOutput().constData(), "%lf %lf", &r, &p);
            rate[c] = std::max(rate[c], r);
            peak[c] = std::max(peak[c], p);
        }
    std::printf("  %-14s %10.1f %14.1f\n", "THttpCli::Get", rate[0], peak[0]);
    std::printf("  %-14s %10.1f %14.1f\n", "libcurl easy", rate[1], peak[1]);
    std::printf("  ours/libcurl %.2f\n", rate[0] / rate[1]);
    Verdict(">= 0.9x libcurl", rate[0] >= 0.9 * rate[1]);
}

void Waiting(const TestAuthority::Issued &certificate)
{
    std::printf("\n3. Waiting: Get while the TLS server holds its answer 3 s\n");
    // nginx ends the TLS session and asks a scripted server behind it, which
    // keeps the answer back.
    ScriptedServer backend({ConnectionScript().ReadRequest().Pause(3000).Send("HTTP/1.0 200 OK\r\n\r\nlate")});
    NginxTlsServer::Options options;
    options.tlsLocations =
        QString("location /slow { proxy_pass http://127.0.0.1:%1; proxy_read_timeout 30s; }").arg(backend.Port());
    NginxTlsServer nginx(certificate, options);
    THttpCli cli;
    DiscardStream page;
    cli.SetURL("https://localhost:" + nginx.PortText().toStdString() + "/slow");
    cli.SetRcvdStream(&page);
    Stopwatch process;
    Stopwatch thread(true);
    cli.Get();
    const double wall = process.WallSeconds();
    const double share = thread.CpuSecondsUsed() / wall * 100;
    std::printf("  wall %.2f s, %lld bytes, CPU of the waiting thread %.1f ms (%.3f %%), whole process %.1f ms\n", wall,
                static_cast<long long>(page.Size()), thread.CpuSecondsUsed() * 1e3, share,
                process.CpuSecondsUsed() * 1e3);
    Verdict("under 2 % of the wall time", share < 2.0 && page.Size() == 4);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    try {
        if (argc == 6 && std::string(argv[1]) == "fetch")
            return FetchChild(argv[2], argv[3], argv[4], argv[5]);
        const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
        const std::string parts = argc > 2 ? argv[2] : "123";
        TestAuthority ca;
        TrustOnly trust(ca.CertificateFile());
        const std::string caFile = ca.CertificateFile().toStdString();
        const auto certificate = ca.Issue("localhost", {"localhost", "127.0.0.1"});
        NginxTlsServer nginx(certificate);
        nginx.Serve("page1k.html", QByteArray(1024, 'x'));
        if (parts.find('2') != std::string::npos) {
            WriteBigBody(nginx.Root() + "/big.bin");
        }
        const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
        std::printf("curl %s (%s), nginx with TLS on 127.0.0.1:%d, P-256 certificates\n", info->version,
                    info->ssl_version, nginx.Port());
        if (parts.find('1') != std::string::npos)
            RequestRate(nginx, caFile, n);
        if (parts.find('2') != std::string::npos)
            Throughput(nginx, caFile, QCoreApplication::applicationFilePath());
        if (parts.find('3') != std::string::npos)
            Waiting(certificate);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_https: %s\n", e.what());
        return 1;
    }
    return 0;
}
