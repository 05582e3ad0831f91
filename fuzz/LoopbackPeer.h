#pragma once

#include "net/WSocket.h"

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <string>

// The far end of a connection, for targets that drive a socket: plain POSIX
// calls, so nothing under test is on both ends.
class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    std::string Port() const { return std::to_string(port_); }
    // Accepts the connection the socket under test is opening.
    bool Accept(int timeoutMs);
    void Send(const std::string &bytes);
    // Reads what is there, waiting up to timeoutMs for the first byte.
    std::string Read(int timeoutMs);
    // Reads until the other side closes or timeoutMs passes.
    std::string ReadToEnd(int timeoutMs);
    void ShutdownSend();
    void Close();

private:
    int listen_ = -1;
    int conn_ = -1;
    unsigned short port_ = 0;
};

// The Qt application the socket layer's notifications need, made once.
void EnsureApplication();

// Handles messages until done() or timeoutMs; returns done().
bool PumpUntil(const std::function<bool()> &done, int timeoutMs);

// Bytes the socket has not taken from the system yet.
unsigned long Unread(TCustomWSocket &socket);
