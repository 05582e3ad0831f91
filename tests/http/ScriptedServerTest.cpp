#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// The scripted server is what the client tests trust for exact bytes, so its
// own promises are checked here with a plain blocking client.
namespace {

int ConnectTo(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until end of stream; each recv result is one entry. errno of a failed
// read is left in error.
std::vector<std::string> ReadAll(int fd, int &error)
{
    std::vector<std::string> pieces;
    error = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) {
            error = ETIMEDOUT;
            return pieces;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0)
            error = errno;
        if (n <= 0)
            return pieces;
        pieces.emplace_back(buffer, static_cast<std::size_t>(n));
    }
}

void SendText(int fd, const std::string &text)
{
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

} // namespace

TEST(ScriptedServerTest, RecordsRequestWithBodyAndSendsFragments)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("abcdef", 2, 60).Close()});
    const int fd = ConnectTo(server.Port());
    ASSERT_GE(fd, 0);
    const std::string request = "POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\nxyz";
    SendText(fd, request.substr(0, 10));
    SendText(fd, request.substr(10));
    int error = 0;
    const std::vector<std::string> pieces = ReadAll(fd, error);
    ::close(fd);
    EXPECT_EQ(error, 0);
    std::string joined;
    for (const std::string &p : pieces)
        joined += p;
    EXPECT_EQ(joined, "abcdef");
    // A 60 ms pause between fragments keeps them apart on loopback.
    EXPECT_EQ(pieces.size(), 3u);
    ASSERT_TRUE(server.WaitFinished(1));
    EXPECT_EQ(server.Requests(), std::vector<std::string>{request});
}

TEST(ScriptedServerTest, ResetIsSeenAsReset)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("partial").Pause(50).Reset()});
    const int fd = ConnectTo(server.Port());
    ASSERT_GE(fd, 0);
    SendText(fd, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(server.WaitFinished(1));
    int error = 0;
    ReadAll(fd, error);
    ::close(fd);
    EXPECT_EQ(error, ECONNRESET);
}

TEST(ScriptedServerTest, ConnectionsBeyondTheScriptsAreClosedAndCounted)
{
    ScriptedServer server({ConnectionScript().ReadRequest().Send("one")});
    for (const char *want : {"one", ""}) {
        SCOPED_TRACE(want);
        const int fd = ConnectTo(server.Port());
        ASSERT_GE(fd, 0);
        SendText(fd, "GET / HTTP/1.0\r\n\r\n");
        int error = 0;
        const std::vector<std::string> pieces = ReadAll(fd, error);
        ::close(fd);
        EXPECT_EQ(pieces.empty() ? std::string() : pieces[0], want);
    }
    EXPECT_TRUE(server.WaitFinished(2));
    EXPECT_EQ(server.Connections(), 2);
}

TEST(ScriptedServerTest, HoldingServerStopsByItself)
{
    const auto start = std::chrono::steady_clock::now();
    ScriptedServer server({ConnectionScript().ReadRequest().Hold()}, std::chrono::milliseconds(300));
    const int fd = ConnectTo(server.Port());
    ASSERT_GE(fd, 0);
    SendText(fd, "GET / HTTP/1.0\r\n\r\n");
    int error = 0;
    ReadAll(fd, error); // ends when the lifetime is over, not at the 3 s poll limit
    ::close(fd);
    EXPECT_EQ(error, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}
