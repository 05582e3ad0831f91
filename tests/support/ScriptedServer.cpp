#include "tests/support/ScriptedServer.h"
#include "tests/support/PeerProcess.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every blocking call waits at most this long, so a stop request is seen fast.
constexpr int kSliceMs = 20;

std::size_t ContentLengthOf(const std::string &header)
{
    std::size_t pos = 0;
    while ((pos = header.find('\n', pos)) != std::string::npos) {
        ++pos;
        static const char name[] = "content-length:";
        bool match = header.size() >= pos + sizeof name - 1;
        for (std::size_t i = 0; match && i < sizeof name - 1; ++i)
            match = std::tolower(static_cast<unsigned char>(header[pos + i])) == name[i];
        if (match)
            return std::strtoul(header.c_str() + pos + sizeof name - 1, nullptr, 10);
    }
    return 0;
}

} // namespace

ConnectionScript &ConnectionScript::ReadRequest()
{
    steps_.push_back({Step::ReadRequest, {}, 0, 0, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::ReadBytes(std::size_t count)
{
    steps_.push_back({Step::ReadBytes, {}, count, 0, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::Send(std::string bytes, std::size_t fragmentSize, int pauseMs)
{
    steps_.push_back({Step::Send, std::move(bytes), fragmentSize, pauseMs, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::Pause(int milliseconds)
{
    steps_.push_back({Step::Pause, {}, 0, milliseconds, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::Close()
{
    steps_.push_back({Step::Close, {}, 0, 0, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::Reset()
{
    steps_.push_back({Step::Reset, {}, 0, 0, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::Hold()
{
    steps_.push_back({Step::Hold, {}, 0, 0, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::Tls(const std::string &certificateFile, const std::string &keyFile)
{
    steps_.push_back({Step::Tls, certificateFile, 0, 0, keyFile, {}});
    return *this;
}

ConnectionScript &ConnectionScript::TlsWithGreeting(const std::string &certificateFile, const std::string &keyFile,
                                                    std::string greeting)
{
    steps_.push_back({Step::Tls, certificateFile, 12, 0, keyFile, std::move(greeting)});
    return *this;
}

ConnectionScript &ConnectionScript::CloseNotify()
{
    steps_.push_back({Step::CloseNotify, {}, 0, 0, {}, {}});
    return *this;
}

ConnectionScript &ConnectionScript::SendRaw(std::string bytes)
{
    steps_.push_back({Step::SendRaw, std::move(bytes), 0, 0, {}, {}});
    return *this;
}

// The server side of one TLS session over memory buffers: what comes from the
// wire goes in, what the session makes goes out through SendAll.
struct ScriptedServer::TlsSession {
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    BIO *in = nullptr;
    BIO *out = nullptr;
    ~TlsSession()
    {
        if (ssl)
            SSL_free(ssl);
        if (ctx)
            SSL_CTX_free(ctx);
    }
    bool Start(const std::string &certificateFile, const std::string &keyFile, bool tls12)
    {
        ctx = SSL_CTX_new(TLS_server_method());
        if (ctx && tls12)
            SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            return false;
        ssl = SSL_new(ctx);
        in = BIO_new(BIO_s_mem());
        out = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in, -1);
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
        return true;
    }
    std::string TakeOutput()
    {
        std::string bytes(BIO_ctrl_pending(out), '\0');
        const int got = bytes.empty() ? 0 : BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return bytes;
    }
    // Plaintext decrypted from what came so far.
    std::string Plaintext()
    {
        std::string text;
        char buffer[4096];
        std::size_t got = 0;
        while (SSL_is_init_finished(ssl) && SSL_read_ex(ssl, buffer, sizeof buffer, &got) == 1)
            text.append(buffer, got);
        ERR_clear_error();
        return text;
    }
};

ScriptedServer::ScriptedServer(std::vector<ConnectionScript> scripts, std::chrono::milliseconds lifetime,
                               const std::string &address, std::uint16_t port)
    : scripts_(std::move(scripts)), deadline_(std::chrono::steady_clock::now() + lifetime), ipv6_(address == "::1")
{
    listenFd_ = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error("scripted server: socket failed");
    sockaddr_storage own;
    socklen_t len = LoopbackAddress(own, port, ipv6_);
    const int on = 1;
    if (ipv6_)
        ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (port != 0)
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&own), len) != 0 || ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&own), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("scripted server: cannot listen on " + address);
    }
    port_ =
        ntohs(ipv6_ ? reinterpret_cast<sockaddr_in6 &>(own).sin6_port : reinterpret_cast<sockaddr_in &>(own).sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    Stop();
}

void ScriptedServer::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

bool ScriptedServer::Stopping() const
{
    return stop_ || std::chrono::steady_clock::now() >= deadline_;
}

std::vector<std::string> ScriptedServer::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::chrono::steady_clock::time_point> ScriptedServer::AcceptTimes() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

int ScriptedServer::Connections() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(requests_.size());
}

std::vector<int> ScriptedServer::AlertsReceived() const
{
    std::lock_guard lock(mutex_);
    return alerts_;
}

int ScriptedServer::FinishedScripts() const
{
    std::lock_guard lock(mutex_);
    return finished_;
}

bool ScriptedServer::WaitFinished(int count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

void ScriptedServer::Record(std::size_t index, const char *data, std::size_t size, std::string &sink)
{
    sink.append(data, size);
    std::lock_guard lock(mutex_);
    requests_[index].append(data, size);
}

void ScriptedServer::Run()
{
    std::size_t index = 0;
    while (!Stopping()) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) <= 0)
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard lock(mutex_);
            requests_.emplace_back();
            accepted_.push_back(std::chrono::steady_clock::now());
        }
        if (index < scripts_.size() && Serve(fd, scripts_[index], index)) {
            // Closing with unread bytes would send a reset instead of the end
            // of stream; half-close and let the peer finish first.
            ::shutdown(fd, SHUT_WR);
            std::string rest;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
            while (std::chrono::steady_clock::now() < until && !stop_ && ReadInto(fd, index, rest, kSliceMs)) {
            }
        }
        ::close(fd);
        ++index;
        {
            std::lock_guard lock(mutex_);
            ++finished_;
        }
        changed_.notify_all();
    }
}

// Reads what is there (waiting up to waitMs for something); false once the
// peer closed or failed. Through a TLS session the plaintext is recorded.
bool ScriptedServer::ReadInto(int fd, std::size_t index, std::string &sink, int waitMs, TlsSession *tls)
{
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready <= 0)
        return ready == 0;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
        return false;
    if (tls == nullptr) {
        Record(index, buffer, static_cast<std::size_t>(n), sink);
        return true;
    }
    BIO_write(tls->in, buffer, static_cast<int>(n));
    const std::string text = tls->Plaintext();
    if (!text.empty())
        Record(index, text.data(), text.size(), sink);
    return SendAll(fd, tls->TakeOutput());
}

bool ScriptedServer::SendAll(int fd, const std::string &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, kSliceMs) <= 0) {
            if (Stopping())
                return false;
            continue;
        }
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool ScriptedServer::Serve(int fd, const ConnectionScript &script, std::size_t index)
{
    std::unique_ptr<TlsSession> tls;
    std::string received;
    std::size_t consumed = 0; // bytes of received taken by earlier read steps
    for (const ConnectionScript::Step &step : script.Steps()) {
        if (Stopping())
            return false;
        switch (step.kind) {
        case ConnectionScript::Step::ReadRequest: {
            std::size_t end;
            while ((end = received.find("\r\n\r\n", consumed)) == std::string::npos)
                if (Stopping() || !ReadInto(fd, index, received, kSliceMs, tls.get()))
                    return false;
            const std::size_t total = end + 4 + ContentLengthOf(received.substr(consumed, end + 2 - consumed));
            while (received.size() < total)
                if (Stopping() || !ReadInto(fd, index, received, kSliceMs, tls.get()))
                    return false;
            consumed = total;
            break;
        }
        case ConnectionScript::Step::ReadBytes:
            while (received.size() < consumed + step.count)
                if (Stopping() || !ReadInto(fd, index, received, kSliceMs, tls.get()))
                    return false;
            consumed += step.count;
            break;
        case ConnectionScript::Step::Send: {
            const std::size_t piece = step.count == 0 ? step.bytes.size() : step.count;
            for (std::size_t at = 0; at < step.bytes.size(); at += piece) {
                if (at > 0 && step.milliseconds > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.milliseconds));
                std::string part = step.bytes.substr(at, piece);
                if (tls) {
                    SSL_write(tls->ssl, part.data(), static_cast<int>(part.size()));
                    part = tls->TakeOutput();
                }
                if (!SendAll(fd, part))
                    return false;
            }
            break;
        }
        case ConnectionScript::Step::Tls: {
            tls = std::make_unique<TlsSession>();
            if (!tls->Start(step.bytes, step.key, step.count == 12))
                return false;
            while (SSL_do_handshake(tls->ssl) != 1) {
                if (!SendAll(fd, tls->TakeOutput()))
                    return false;
                const int e = SSL_get_error(tls->ssl, 0);
                // An alert from the peer shows as the library's reason, offset by 1000.
                const int reason = e == SSL_ERROR_SSL ? ERR_GET_REASON(ERR_peek_error()) : 0;
                ERR_clear_error();
                if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
                    std::lock_guard lock(mutex_);
                    alerts_.push_back(reason - SSL_AD_REASON_OFFSET);
                }
                if (e != SSL_ERROR_WANT_READ)
                    return false;
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, kSliceMs) <= 0) {
                    if (Stopping())
                        return false;
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    return false;
                BIO_write(tls->in, buffer, static_cast<int>(n));
            }
            if (!step.greeting.empty())
                SSL_write(tls->ssl, step.greeting.data(), static_cast<int>(step.greeting.size()));
            if (!SendAll(fd, tls->TakeOutput()))
                return false;
            // The request may have come with the end of the handshake.
            const std::string text = tls->Plaintext();
            if (!text.empty())
                Record(index, text.data(), text.size(), received);
            break;
        }
        case ConnectionScript::Step::CloseNotify:
            if (tls) {
                SSL_shutdown(tls->ssl);
                if (!SendAll(fd, tls->TakeOutput()))
                    return false;
            }
            break;
        case ConnectionScript::Step::SendRaw:
            if (!SendAll(fd, step.bytes))
                return false;
            break;
        case ConnectionScript::Step::Pause: {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.milliseconds);
            while (std::chrono::steady_clock::now() < until && !Stopping())
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, step.milliseconds)));
            break;
        }
        case ConnectionScript::Step::Close:
            return true;
        case ConnectionScript::Step::Reset: {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            return false;
        }
        case ConnectionScript::Step::Hold:
            while (!Stopping() && ReadInto(fd, index, received, kSliceMs, tls.get())) {
            }
            return false;
        }
    }
    return true;
}
