#include "net/HttpProt.h"
#include "tests/support/NginxFixture.h"
#include "tests/support/SocksFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <memory>

// The client's SOCKS properties reach its socket: a page of a real nginx
// fetched through real SOCKS servers.
TEST(HttpCliSocks, PageThroughMicrosocksAndDante)
{
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<MicrosocksServer> open, guarded;
    std::unique_ptr<DanteServer> dante;
    try {
        nginx = std::make_unique<NginxServer>();
        open = std::make_unique<MicrosocksServer>();
        guarded = std::make_unique<MicrosocksServer>("utente", "segreto");
        dante = std::make_unique<DanteServer>();
    } catch (const std::exception &e) {
        FAIL() << "peer not available: " << e.what();
    }
    nginx->Serve("p.htm", "pagina via socks\r\n");
    struct Row {
        const char *name;
        PeerProcess *server;
        std::string level;
        bool credentials;
    };
    const Row rows[] = {
        {"microsocks", open.get(), "5", false},
        {"microsocks with password", guarded.get(), "5", true},
        {"dante socks 4", dante.get(), "4", false},
        {"dante socks 5", dante.get(), "5", false},
    };
    int fetched = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TMemoryStream body;
        THttpCli cli;
        cli.SetURL("http://127.0.0.1:" + nginx->PortText().toStdString() + "/p.htm");
        cli.SetRcvdStream(&body);
        cli.SetSocksServer("127.0.0.1");
        cli.SetSocksPort(row.server->PortText().toStdString());
        cli.SetSocksLevel(row.level);
        if (row.credentials) {
            cli.SetSocksUsercode("utente");
            cli.SetSocksPassword("segreto");
            cli.SetSocksAuthentication(socksAuthenticateUsercode);
        }
        int socksConnected = 0;
        cli.OnSocksConnected = [&](TCustomWSocket *, std::uint16_t error) { socksConnected += error == 0; };
        EXPECT_NO_THROW(cli.Get());
        EXPECT_EQ(cli.StatusCode(), 200);
        EXPECT_EQ(body.Bytes(), "pagina via socks\r\n");
        EXPECT_EQ(socksConnected, 1);
        fetched += body.Bytes() == "pagina via socks\r\n";
    }
    EXPECT_EQ(fetched, 4);
    int hits = 0;
    for (const QString &line : nginx->AccessLog())
        hits += line.contains("GET /p.htm HTTP/1.0");
    EXPECT_EQ(hits, 4);
}
