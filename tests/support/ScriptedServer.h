#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What one accepted connection does, step by step. Built with the chained
// calls below; an unfinished script ends with an orderly close.
class ConnectionScript {
public:
    struct Step {
        enum Kind { ReadRequest, ReadBytes, Send, Pause, Close, Reset, Hold, Tls, CloseNotify, SendRaw } kind;
        std::string bytes;    // Send, SendRaw; the certificate file for Tls
        std::size_t count;    // ReadBytes; fragment size for Send (0 = all at once)
        int milliseconds;     // Pause; pause between fragments for Send
        std::string key;      // Tls: the key file
        std::string greeting; // Tls: sent together with the handshake's last flight
    };

    // Reads up to the empty line that ends a request header, then the body
    // when the header names a Content-Length.
    ConnectionScript &ReadRequest();
    ConnectionScript &ReadBytes(std::size_t count);
    // Sends bytes, cut into fragments of fragmentSize (0: one piece) with a
    // pause between them, so that the client sees them in separate reads.
    ConnectionScript &Send(std::string bytes, std::size_t fragmentSize = 0, int pauseMs = 0);
    ConnectionScript &Pause(int milliseconds);
    ConnectionScript &Close();
    // Aborts with a reset (linger on, zero time) instead of an orderly close.
    ConnectionScript &Reset();
    // Never answers: keeps the connection open, reading whatever comes, until
    // the peer closes or the server stops.
    ConnectionScript &Hold();
    // Runs a TLS server handshake with the certificate chain and key in these
    // PEM files; the steps after it read and send through the session.
    ConnectionScript &Tls(const std::string &certificateFile, const std::string &keyFile);
    // The same at TLS 1.2 at most, whose last flight is the server's: the
    // greeting goes out in the same piece, behind the handshake's end.
    ConnectionScript &TlsWithGreeting(const std::string &certificateFile, const std::string &keyFile,
                                      std::string greeting);
    // Sends the TLS close alert; the connection itself stays as it is.
    ConnectionScript &CloseNotify();
    // Bytes on the wire as they are, past any TLS session.
    ConnectionScript &SendRaw(std::string bytes);

    const std::vector<Step> &Steps() const { return steps_; }

private:
    std::vector<Step> steps_;
};

// A loopback server on 127.0.0.1 and an ephemeral port that plays one script
// per accepted connection, in order (connections beyond the scripts are closed
// at once), and records every byte each connection sent. It runs on its own
// thread and stops by itself after its lifetime, at Stop() or in its
// destructor, whichever comes first.
class ScriptedServer {
public:
    // address: "127.0.0.1" or "::1"; port 0 takes an ephemeral one (a given
    // one lets scripts that relocate back to this server name it).
    explicit ScriptedServer(std::vector<ConnectionScript> scripts,
                            std::chrono::milliseconds lifetime = std::chrono::seconds(20),
                            const std::string &address = "127.0.0.1", std::uint16_t port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // "127.0.0.1:port", for an address or a proxy setting.
    std::string HostPort() const { return (ipv6_ ? "[::1]:" : "127.0.0.1:") + PortText(); }

    // What each connection received so far, in the order they were accepted.
    std::vector<std::string> Requests() const;
    int Connections() const;
    // When each connection was accepted, in order.
    std::vector<std::chrono::steady_clock::time_point> AcceptTimes() const;
    // Scripts whose every step ran to its end (a Hold ends when the peer closes).
    int FinishedScripts() const;
    // The TLS alerts (their numbers, 48 for an unknown authority) that ended
    // a handshake of a Tls step, in the order they came.
    std::vector<int> AlertsReceived() const;
    // Blocks until count connections finished their script or timeout passes.
    bool WaitFinished(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    void Stop();

private:
    struct TlsSession;
    void Run();
    // True when the script ends with an orderly close.
    bool Serve(int fd, const ConnectionScript &script, std::size_t index);
    bool ReadInto(int fd, std::size_t index, std::string &sink, int waitMs, TlsSession *tls = nullptr);
    bool SendAll(int fd, const std::string &bytes);
    bool Stopping() const;
    void Record(std::size_t index, const char *data, std::size_t size, std::string &sink);

    std::vector<ConnectionScript> scripts_;
    std::chrono::steady_clock::time_point deadline_;
    bool ipv6_ = false;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> requests_;
    std::vector<std::chrono::steady_clock::time_point> accepted_;
    std::vector<int> alerts_;
    int finished_ = 0;
    std::thread thread_;
};
