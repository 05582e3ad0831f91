#include "tests/interop/InteropServers.h"
#include "tests/interop/InteropVisit.h"

#include <memory>

namespace {

using namespace std::chrono_literals;

std::vector<std::string> KindsWhere(bool (*wanted)(const ServerTraits &))
{
    std::vector<std::string> kinds;
    for (const std::string &kind : ServerKinds())
        if (wanted(TraitsOf(kind)))
            kinds.push_back(kind);
    return kinds;
}

std::string NameOf(const ::testing::TestParamInfo<std::string> &info)
{
    return info.param;
}

// Every case runs against a server of the system started for it, with a
// certificate of the test's own authority for localhost and 127.0.0.1.
class ServerCase : public ::testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<WebServer> Start(std::uint16_t cutPort = 0)
    {
        try {
            return StartWebServer(GetParam(), site_, cutPort);
        } catch (const std::exception &e) {
            ADD_FAILURE() << GetParam() << " did not start: " << e.what();
            return nullptr;
        }
    }

    struct Side {
        const char *name;
        std::string (WebServer::*url)(const std::string &path) const;
    };
    // The plain and the TLS side, those the server has.
    static std::vector<Side> SidesOf(const WebServer &server)
    {
        std::vector<Side> sides;
        if (server.traits.plain)
            sides.push_back({"http", &WebServer::PlainUrl});
        if (server.traits.tls)
            sides.push_back({"https", &WebServer::TlsUrl});
        return sides;
    }

    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
    TestAuthority::Issued site_ = ca_.Issue("site", {"localhost", "127.0.0.1"});
};

void ExpectWhole(const Visit &visit, const QByteArray &expected)
{
    EXPECT_FALSE(visit.outcome.raised) << visit.outcome.message;
    EXPECT_EQ(200, visit.status) << visit.reason;
    EXPECT_EQ(expected.size(), visit.body.size());
    // Not EXPECT_EQ: a 10 MiB difference would fill the log.
    EXPECT_TRUE(visit.body == expected) << "the body's bytes differ from the file's";
    EXPECT_TRUE(visit.doneCame);
    EXPECT_EQ(0, visit.doneError);
}

class ServerFiles : public ServerCase {};

TEST_P(ServerFiles, SmallPageAndLargeFileArriveWholeAndInTime)
{
    auto server = Start();
    ASSERT_TRUE(server);
    for (const Side &side : SidesOf(*server)) {
        const struct {
            const char *name;
            std::string path;
            const QByteArray &bytes;
        } files[] = {{"small page", "/page.htm", SiteFiles::Page()}, {"10 MiB file", "/large.bin", SiteFiles::Large()}};
        for (const auto &file : files) {
            SCOPED_TRACE(std::string(file.name) + " over " + side.name);
            const Visit visit = VisitUrl(((*server).*side.url)(file.path));
            ExpectWhole(visit, file.bytes);
            EXPECT_LT(visit.took, kVisitBound) << "took " << visit.took.count() << " ms";
        }
    }
    // Nothing of the server outlives it, not even a worker that kept a
    // listening socket.
    const std::uint16_t ports[] = {server->plainPort, server->tlsPort, server->largeTlsPort};
    server.reset();
    for (const std::uint16_t port : ports)
        EXPECT_TRUE(port == 0 || !LoopbackPortAnswers(port)) << "port " << port << " still answers";
}

INSTANTIATE_TEST_SUITE_P(Interop, ServerFiles, ::testing::ValuesIn(ServerKinds()), NameOf);

class ServerChains : public ServerCase {};

TEST_P(ServerChains, RelocationsFromHttpToHttpsAndBack)
{
    const auto server = Start();
    ASSERT_TRUE(server);
    const Visit visit = VisitUrl(server->PlainUrl("/chain"));
    ExpectWhole(visit, SiteFiles::Page());
    EXPECT_EQ(server->PlainUrl("/page.htm"), visit.location);
    EXPECT_EQ(2, visit.relocations);
    EXPECT_LT(visit.took, kVisitBound) << "three visits took " << visit.took.count() << " ms";
}

INSTANTIATE_TEST_SUITE_P(Interop, ServerChains,
                         ::testing::ValuesIn(KindsWhere([](const ServerTraits &t) { return t.chain; })), NameOf);

class ServerFolders : public ServerCase {};

// The server relocates to the folder with its slash. apache2 builds the
// address from what the request's Host says: on a port other than the
// scheme's own, the client must still land on that same port.
TEST_P(ServerFolders, FolderWithoutItsSlashEndsAtItsIndex)
{
    const auto server = Start();
    ASSERT_TRUE(server);
    for (const Side &side : SidesOf(*server)) {
        SCOPED_TRACE(side.name);
        const Visit visit = VisitUrl(((*server).*side.url)("/dir"));
        ExpectWhole(visit, SiteFiles::FolderIndex());
        EXPECT_TRUE(QString::fromStdString(visit.location).endsWith("/dir/")) << visit.location;
        EXPECT_EQ(1, visit.relocations);
        EXPECT_LT(visit.took, kVisitBound) << "took " << visit.took.count() << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(Interop, ServerFolders,
                         ::testing::ValuesIn(KindsWhere([](const ServerTraits &t) { return t.folder; })), NameOf);

class ServerCuts : public ServerCase {};

// The server passes on an answer whose source, a backend or a CGI script,
// ended 1,000 bytes into a body of 100,000: however the server ends it, the
// visit fails.
TEST_P(ServerCuts, AnswerCutShortBehindTheServerFails)
{
    const std::string head =
        "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 100000\r\n\r\n";
    const ConnectionScript cut = ConnectionScript().ReadRequest().Send(head + std::string(1000, 'x')).Close();
    ScriptedServer backend({cut, cut}, 60s);
    const auto server = Start(backend.Port());
    ASSERT_TRUE(server);
    for (const Side &side : SidesOf(*server)) {
        SCOPED_TRACE(side.name);
        const Visit visit = VisitUrl(((*server).*side.url)(server->cutPath));
        EXPECT_TRUE(visit.outcome.raised);
        EXPECT_GE(visit.status, 400);
        EXPECT_FALSE(visit.reason.empty());
        EXPECT_LT(visit.body.size(), 100000);
        EXPECT_TRUE(visit.doneCame);
        EXPECT_NE(0, visit.doneError);
        // Once the server has ended the answer there is nothing to wait for.
        EXPECT_LT(visit.took, kVisitBound) << "took " << visit.took.count() << " ms";
    }
    if (server->cutFromBackend) {
        EXPECT_EQ(static_cast<int>(SidesOf(*server).size()), backend.Connections())
            << "every visit reached the backend";
    }
}

INSTANTIATE_TEST_SUITE_P(Interop, ServerCuts,
                         ::testing::ValuesIn(KindsWhere([](const ServerTraits &t) { return t.cut; })), NameOf);

} // namespace
