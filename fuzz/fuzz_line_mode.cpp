#include "FuzzCheck.h"
#include "LoopbackPeer.h"
#include "net/WSocket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Options {
    bool edit = false;
    bool echo = false;
    std::string lineEnd;
    int limit = 0;
};

// Line assembly as the socket is meant to do it, one network read at a time.
struct Model {
    Options o;
    std::string held;
    std::vector<std::string> lines;
    std::string echo;

    void Read(const std::string &bytes)
    {
        if (o.edit) {
            // Columns count from the start of the line, and a backspace does
            // not reach into a line that is already complete.
            std::size_t lineStart = 0;
            for (char b : bytes) {
                if (b == '\b') {
                    if (held.size() > lineStart) {
                        if (o.echo)
                            echo += "\b \b";
                        held.pop_back();
                    }
                } else if (b == '\t') {
                    for (std::size_t n = 8 - (held.size() - lineStart) % 8; n > 0; --n) {
                        held += ' ';
                        if (o.echo)
                            echo += ' ';
                    }
                } else {
                    held += b;
                    if (o.echo)
                        echo += b;
                    if (held.size() - lineStart >= o.lineEnd.size() &&
                        held.compare(held.size() - o.lineEnd.size(), o.lineEnd.size(), o.lineEnd) == 0)
                        lineStart = held.size();
                }
            }
        } else {
            held += bytes;
            if (o.echo)
                echo += bytes;
        }
        std::size_t at;
        while ((at = held.find(o.lineEnd)) != std::string::npos) {
            lines.push_back(held.substr(0, at + o.lineEnd.size()));
            held.erase(0, at + o.lineEnd.size());
        }
        // Nobody handles the limit, so the unfinished line is dropped.
        if (o.limit > 0 && held.size() > static_cast<std::size_t>(o.limit))
            held.clear();
    }
    void Closed()
    {
        if (!held.empty())
            lines.push_back(held);
        held.clear();
    }
};

const char *const kLineEnds[] = {"\r\n", "\n", "END", "\r"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    EnsureApplication();
    return 0;
}

// Input: flags (bit 0 editing, bit 1 echo, bits 2-3 the line end, bit 4 a
// line limit), the limit, then pieces, each a length byte (1 to 64) and its
// bytes; every piece reaches the socket in a read of its own, then the peer
// closes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    Model model;
    model.o.edit = data[0] & 1;
    model.o.echo = data[0] & 2;
    model.o.lineEnd = kLineEnds[(data[0] >> 2) & 3];
    model.o.limit = (data[0] & 16) ? data[1] : 0;
    std::vector<std::string> pieces;
    for (std::size_t at = 2; at < size && pieces.size() < 16;) {
        const std::size_t len = std::min<std::size_t>(data[at] % 64 + 1, size - at - 1);
        ++at;
        if (len == 0)
            break;
        pieces.emplace_back(reinterpret_cast<const char *>(data + at), len);
        at += len;
    }

    static LoopbackPeer *peer = new LoopbackPeer;
    std::vector<std::string> lines;
    bool closed = false;
    {
        TWSocket socket;
        socket.SetLineMode(true);
        socket.SetLineEnd(model.o.lineEnd);
        socket.SetLineEdit(model.o.edit);
        socket.SetLineEcho(model.o.echo);
        socket.SetLineLimit(model.o.limit);
        socket.OnDataAvailable = [&lines](TCustomWSocket *s, std::uint16_t) {
            const int n = s->RcvdCount();
            std::string line(static_cast<std::size_t>(std::max(n, 1)), '\0');
            const int r = s->Receive(line.data(), n);
            if (r > 0)
                lines.push_back(line.substr(0, static_cast<std::size_t>(r)));
        };
        socket.OnSessionClosed = [&closed](TCustomWSocket *, std::uint16_t) { closed = true; };
        socket.SetAddr("127.0.0.1");
        socket.SetPort(peer->Port());
        socket.SetProto("tcp");
        socket.Connect();
        FUZZ_CHECK(peer->Accept(2000));
        FUZZ_CHECK(PumpUntil([&] { return socket.State() == wsConnected; }, 2000));

        for (const std::string &piece : pieces) {
            peer->Send(piece);
            // The whole piece is waiting before the socket is let read it,
            // and taken before the next one comes.
            FUZZ_CHECK(PumpUntil([&] { return Unread(socket) >= piece.size(); }, 2000));
            FUZZ_CHECK(PumpUntil([&] { return Unread(socket) == 0; }, 2000));
            ProcessMessages();
            model.Read(piece);
        }
        peer->ShutdownSend();
        // A session that never reports its end is a hang.
        FUZZ_CHECK(PumpUntil([&] { return closed; }, 5000));
        model.Closed();
        const std::string echo = model.o.echo ? peer->ReadToEnd(2000) : std::string();
        peer->Close();
        if (lines != model.lines && std::getenv("FUZZ_SHOW")) {
            for (const std::string &l : lines)
                std::fprintf(stderr, "got  [%s]\n", l.c_str());
            for (const std::string &l : model.lines)
                std::fprintf(stderr, "want [%s]\n", l.c_str());
        }
        FUZZ_CHECK(lines == model.lines);
        FUZZ_CHECK(echo == model.echo);
    }
    ProcessMessages();
    return 0;
}
