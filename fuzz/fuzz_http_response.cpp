#include "FuzzCheck.h"
#include "PlayedSocket.h"
#include "net/HttpProt.h"
#include "platform/NotifyWindow.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Input: a flags byte, a fragment-size byte, a seed byte, then the server's
// whole answer. Every connection (relocations open new ones) gets the same
// answer cut the same way.
//   flags bit 0: through a proxy        bits 1-2: GET, POST, HEAD, GET
//   bit 3: the end is a reset           bit 4: the lookup fails
//   bit 5: Abort from the first OnDocData
//   bit 6: the client is destroyed in OnHeaderEnd
//   bit 7: Abort from outside after <seed> notifications

namespace {

QCoreApplication *app = nullptr;

std::vector<std::size_t> Fragments(std::size_t total, unsigned sizeByte, unsigned seed)
{
    std::vector<std::size_t> sizes;
    if (sizeByte == 0)
        return sizes; // one piece
    const std::size_t largest = 1 + sizeByte * 40u;
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t at = 0; at < total;) {
        state = state * 1664525u + 1013904223u;
        const std::size_t size = 1 + (state >> 8) % largest;
        sizes.push_back(size);
        at += size;
    }
    return sizes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    app = new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const unsigned flags = data[0];
    const std::string answer(reinterpret_cast<const char *>(data + 3), size - 3);

    PlayedSocket::Queue queue;
    auto owned = std::make_unique<PlayedSocket>(queue, answer, Fragments(answer.size(), data[1], data[2]));
    PlayedSocket *socket = owned.get();
    socket->closeError = (flags & 8) ? 10054 : 0;
    socket->failLookup = (flags & 16) != 0;
    auto cli = std::make_unique<THttpCli>(std::move(owned));
    cli->SetURL("http://fuzz.example/dir/page.htm");
    if (flags & 1)
        cli->SetProxy("127.0.0.1:3128");
    TMemoryStream received, posted;
    posted.Write("a=1&b=2", 7);
    posted.SetPosition(0);
    cli->SetRcvdStream(&received);
    cli->SetSendStream(&posted);

    int done = 0;
    std::string delivered;
    bool abortedInDoc = false;
    cli->OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t) { ++done; };
    cli->OnDocData = [&](THttpCli *sender, const void *buffer, int len) {
        FUZZ_CHECK(len >= 0);
        delivered.append(static_cast<const char *>(buffer), static_cast<std::size_t>(len));
        if ((flags & 32) && !abortedInDoc) {
            abortedInDoc = true;
            sender->Abort();
        }
    };
    if (flags & 64)
        cli->OnHeaderEnd = [&](THttpCli *) { cli.reset(); };

    static const THttpRequest kinds[] = {rqGet, rqPost, rqHead, rqGet};
    cli->StartRequest(kinds[(flags >> 1) & 3]);

    // Socket notifications one at a time, the client's own posted messages
    // in between; a client that still waits when nothing is left to come
    // would wait for ever.
    const int abortAfter = (flags & 128) ? data[2] + 1 : -1;
    int notifications = 0, quiet = 0;
    for (int pass = 0; pass < 1000000 && quiet < 4; ++pass) {
        ProcessMessages();
        if (!queue.empty()) {
            auto next = std::move(queue.front());
            queue.pop_front();
            next();
            quiet = 0;
            if (++notifications == abortAfter && cli)
                cli->Abort();
            continue;
        }
        ++quiet;
    }
    FUZZ_CHECK(queue.empty());
    if (!cli)
        return 0;

    FUZZ_CHECK(cli->State() == hsReady);
    FUZZ_CHECK(done == 1);
    const int status = cli->StatusCode();
    FUZZ_CHECK(status == 0 || (status >= 100 && status <= 999));
    FUZZ_CHECK(cli->ContentLength() >= -1);
    // The body reaches the stream and the event once each, in one piece of
    // the answer, never more than one connection's worth.
    FUZZ_CHECK(received.Bytes() == delivered);
    FUZZ_CHECK(cli->RcvdCount() == static_cast<int>(delivered.size()));
    if (answer.find(delivered) == std::string::npos)
        std::fprintf(stderr, "body: %s\n", QByteArray::fromStdString(delivered).toPercentEncoding(" /:<>").constData());
    FUZZ_CHECK(answer.find(delivered) != std::string::npos);
    FUZZ_CHECK(socket->connections <= THttpCli::kMaxRelocations + 1);
    // Whatever the answer held, nothing of it turns into request lines of
    // our own: no line break and no NUL inside a line we wrote.
    const std::string &sent = socket->sent;
    for (std::size_t at = 0; at < sent.size();) {
        std::size_t end = sent.find("\r\n", at);
        if (end == std::string::npos)
            end = sent.size();
        if (sent.find_first_of(std::string("\r\n\0", 3), at) < end)
            std::fprintf(stderr, "request line: %s\n",
                         QByteArray::fromStdString(sent.substr(at, end - at)).toPercentEncoding(" /:").constData());
        FUZZ_CHECK(sent.find_first_of(std::string("\r\n\0", 3), at) >= end);
        at = end + 2;
    }
    return 0;
}
