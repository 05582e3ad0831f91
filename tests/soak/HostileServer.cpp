#include "tests/soak/HostileServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Every blocking call waits at most this long, so a stop request is seen fast.
constexpr int kSliceMs = 20;
// A request header larger than this is not one the client would send.
constexpr std::size_t kMaxRequestBytes = 64 * 1024;

const std::string &HugeBody()
{
    static const std::string body = [] {
        std::string text;
        text.reserve(kHugeBodyBytes);
        std::string line;
        for (std::size_t n = 0; text.size() < kHugeBodyBytes; ++n) {
            line = "riga " + std::to_string(n) + " ";
            line.append(kHugeLineBytes - 2 - line.size(), 'x');
            line += "\r\n";
            text += line;
        }
        text.resize(kHugeBodyBytes);
        return text;
    }();
    return body;
}

bool WaitFor(int fd, short events, const std::atomic<bool> &stop)
{
    while (!stop) {
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, kSliceMs);
        if (ready < 0)
            return false;
        if (ready > 0)
            return true;
    }
    return false;
}

// False once the peer is gone (or the server stops).
bool SendAll(int fd, const char *data, std::size_t size, const std::atomic<bool> &stop)
{
    std::size_t sent = 0;
    while (sent < size) {
        if (!WaitFor(fd, POLLOUT, stop))
            return false;
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::string &bytes, const std::atomic<bool> &stop)
{
    return SendAll(fd, bytes.data(), bytes.size(), stop);
}

// Reads and drops what comes until the peer closes; true when it did.
bool DrainUntilClosed(int fd, const std::atomic<bool> &stop, int limitMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < until) {
        if (!WaitFor(fd, POLLIN, stop))
            return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return true;
    }
    return false;
}

void Reset(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// Half-closes and lets the client read to the end before the descriptor goes:
// closing with unread request bytes would turn the end of the page into a reset.
void OrderlyEnd(int fd, const std::atomic<bool> &stop)
{
    ::shutdown(fd, SHUT_WR);
    DrainUntilClosed(fd, stop, 5000);
}

bool ReadRequest(int fd, std::string &request, const std::atomic<bool> &stop)
{
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (request.size() > kMaxRequestBytes || !WaitFor(fd, POLLIN, stop))
            return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

std::string PathOf(const std::string &request)
{
    if (request.compare(0, 4, "GET ") != 0)
        return {};
    const std::size_t end = request.find(' ', 4);
    return end == std::string::npos ? std::string() : request.substr(4, end - 4);
}

bool AnswerOf(const std::string &path, Answer &answer)
{
    const std::size_t end = path.find('/', 1);
    const std::string word = path.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    for (Answer a : kAllAnswers)
        if (word == AnswerWord(a)) {
            answer = a;
            return true;
        }
    return false;
}

} // namespace

const char *AnswerWord(Answer answer)
{
    switch (answer) {
    case Answer::Page:
        return "page";
    case Answer::NotFound:
        return "notfound";
    case Answer::ResetInHeader:
        return "resethead";
    case Answer::ResetInBody:
        return "resetbody";
    case Answer::Silence:
        return "silence";
    case Answer::EndlessHeaderLine:
        return "longline";
    case Answer::GarbageStatus:
        return "garbage";
    case Answer::EndlessRelocation:
        return "reloc";
    case Answer::HugeBody:
        return "huge";
    case Answer::Drip:
        return "drip";
    }
    return "";
}

std::string PageBody(const std::string &path)
{
    return "<html>\r\n<p>pagina " + path + "</p>\n\r</html>";
}

std::string CutBody()
{
    std::string body;
    for (int i = 0; i < 20; ++i)
        body += "riga " + std::to_string(i) + " di una pagina interrotta\r\n";
    return body;
}

std::string DripBody()
{
    return "<html>\r\ngoccia a goccia\r\n</html>\r\n";
}

HostileServer::HostileServer()
{
    HugeBody(); // built before the first visit, not during one
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error("hostile server: socket failed");
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("hostile server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(sin.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
}

HostileServer::~HostileServer()
{
    Stop();
}

void HostileServer::Stop()
{
    stop_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    Reap(true);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

std::map<Answer, int> HostileServer::Served() const
{
    std::lock_guard lock(mutex_);
    return served_;
}

int HostileServer::Unknown() const
{
    std::lock_guard lock(mutex_);
    return unknown_;
}

void HostileServer::Reap(bool all)
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || *it->done) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void HostileServer::Accept()
{
    while (!stop_) {
        Reap(false);
        if (!WaitFor(listenFd_, POLLIN, stop_))
            break;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++open_;
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([this, fd, done] {
                                Serve(fd);
                                ::close(fd);
                                --open_;
                                *done = true;
                            }),
                            done});
    }
}

void HostileServer::Serve(int fd)
{
    std::string request;
    if (!ReadRequest(fd, request, stop_))
        return;
    const std::string path = PathOf(request);
    Answer answer;
    if (!AnswerOf(path, answer)) {
        std::lock_guard lock(mutex_);
        ++unknown_;
        return;
    }
    {
        std::lock_guard lock(mutex_);
        ++served_[answer];
    }

    switch (answer) {
    case Answer::Page:
        if (SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + PageBody(path), stop_))
            OrderlyEnd(fd, stop_);
        return;
    case Answer::NotFound:
        if (SendAll(fd, "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>non trovata</html>\r\n", stop_))
            OrderlyEnd(fd, stop_);
        return;
    case Answer::ResetInHeader:
        SendAll(fd, "HTTP/1.0 200 OK\r\nServer: ostile\r\nContent-Ty", stop_);
        Reset(fd);
        return;
    case Answer::ResetInBody: {
        const std::string body = CutBody();
        if (!SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size() * 10) + "\r\n\r\n" + body,
                     stop_))
            return;
        // The reset is meant to cut the body, not the header: the client gets
        // a moment to take what was sent before the connection breaks.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Reset(fd);
        return;
    }
    case Answer::Silence:
        DrainUntilClosed(fd, stop_, 600000);
        return;
    case Answer::EndlessHeaderLine: {
        if (!SendAll(fd, "HTTP/1.0 200 OK\r\nX-Senza-Fine: ", stop_))
            return;
        const std::string chunk(4096, 'a');
        while (SendAll(fd, chunk, stop_)) {
        }
        return;
    }
    case Answer::GarbageStatus:
        if (SendAll(fd, "HTTP/1.0 2OO Va bene\r\nContent-Type: text/html\r\n\r\n<html>?</html>\r\n", stop_))
            OrderlyEnd(fd, stop_);
        return;
    case Answer::EndlessRelocation: {
        // "/reloc/<visit>" -> "/reloc/<visit>/1" -> "/reloc/<visit>/2" ...
        const std::size_t hop = path.find('/', path.find('/', 1) + 1);
        const std::string base = hop == std::string::npos ? path : path.substr(0, hop);
        const int next = hop == std::string::npos ? 1 : std::stoi(path.substr(hop + 1)) + 1;
        if (SendAll(fd, "HTTP/1.0 302 Found\r\nLocation: " + base + "/" + std::to_string(next) + "\r\n\r\n", stop_))
            OrderlyEnd(fd, stop_);
        return;
    }
    case Answer::HugeBody: {
        const std::string &body = HugeBody();
        if (!SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n", stop_))
            return;
        if (SendAll(fd, body.data(), body.size(), stop_))
            OrderlyEnd(fd, stop_);
        return;
    }
    case Answer::Drip: {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + DripBody();
        for (char c : reply) {
            if (!SendAll(fd, &c, 1, stop_))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        OrderlyEnd(fd, stop_);
        return;
    }
    }
}

MemoryUse CurrentMemoryUse()
{
    MemoryUse use;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> use.rssKiB;
        else if (key == "VmHWM:")
            status >> use.peakKiB;
        else
            status.ignore(4096, '\n');
    }
    return use;
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count - 1; // the directory's own descriptor
}
