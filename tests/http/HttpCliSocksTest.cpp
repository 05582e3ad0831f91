#include "net/HttpCause.h"
#include "tests/http/HttpTestHelpers.h"
#include "tests/support/NginxFixture.h"
#include "tests/support/SocksFixtures.h"

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
        std::string host = "127.0.0.1";
    };
    const Row rows[] = {
        {"microsocks", open.get(), "5", false},
        {"microsocks with password", guarded.get(), "5", true},
        {"dante socks 4", dante.get(), "4", false},
        // The client looks the name up itself, without holding the program.
        {"dante socks 4 to a name", dante.get(), "4", false, "localhost"},
        {"dante socks 5", dante.get(), "5", false},
    };
    int fetched = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TMemoryStream body;
        THttpCli cli;
        cli.SetURL("http://" + row.host + ":" + nginx->PortText().toStdString() + "/p.htm");
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
        // The second request goes the same way: the settings outlive the close.
        for (int request = 1; request <= 2; ++request) {
            body.Clear();
            EXPECT_NO_THROW(cli.Get());
            EXPECT_EQ(cli.StatusCode(), 200);
            EXPECT_EQ(body.Bytes(), "pagina via socks\r\n");
            EXPECT_EQ(socksConnected, request);
            fetched += body.Bytes() == "pagina via socks\r\n";
        }
    }
    EXPECT_EQ(fetched, 10);
    // The client is done at Content-Length, maybe before nginx wrote its line.
    int hits = 0;
    PumpUntil([&] {
        hits = 0;
        for (const QString &line : nginx->AccessLog())
            hits += line.contains("GET /p.htm HTTP/1.0");
        return hits == 10;
    });
    EXPECT_EQ(hits, 10);
}

// A SOCKS server that refuses or walks away fails the request with its own
// words and names itself; it never passes for a visit that found a page.
TEST(HttpCliSocks, ServersThatRefuseOrCloseFailTheRequest)
{
    const std::string zeros(6, '\0');
    const std::string noAuthentication("\x05\x00", 2);
    struct Row {
        const char *name;
        std::string level;
        ConnectionScript script;
        std::string reason; // "%P" stands for the SOCKS server's port
        std::uint16_t error;
    };
    const Row rows[] = {
        {"socks 5 closes after the greeting", "5", ConnectionScript().ReadBytes(3).Close(),
         "SOCKS server 127.0.0.1:%P closed the connection before granting it", httperrProxyClosed},
        {"socks 5 closes on the connect request", "5",
         ConnectionScript().ReadBytes(3).Send(noAuthentication).ReadBytes(4).Close(),
         "SOCKS server 127.0.0.1:%P closed the connection before granting it", httperrProxyClosed},
        {"socks 5 refuses the destination", "5",
         ConnectionScript()
             .ReadBytes(3)
             .Send(noAuthentication)
             .ReadBytes(4)
             .Send(std::string("\x05\x05\x00\x01", 4) + zeros),
         "SOCKS server 127.0.0.1:%P: connection refused", 20008},
        {"socks 4 rejects", "4", ConnectionScript().ReadBytes(9).Send(std::string("\x00\x5b", 2) + zeros),
         "SOCKS server 127.0.0.1:%P: request rejected or failed", 20016},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer socks({row.script});
        THttpCli cli;
        TMemoryStream body;
        cli.SetRcvdStream(&body);
        cli.SetURL("http://127.0.0.1:1/p.htm");
        cli.SetSocksServer("127.0.0.1");
        cli.SetSocksPort(socks.PortText());
        cli.SetSocksLevel(row.level);
        std::uint16_t doneError = 0;
        bool done = false;
        cli.OnRequestDone = [&](THttpCli *, THttpRequest, std::uint16_t error) {
            doneError = error;
            done = true;
        };
        const GetOutcome got = RunGet(cli);
        std::string reason = row.reason;
        reason.replace(reason.find("%P"), 2, socks.PortText());
        EXPECT_TRUE(got.raised);
        EXPECT_EQ(got.code, 404);
        EXPECT_EQ(cli.ReasonPhrase(), reason);
        EXPECT_TRUE(PumpUntil([&] { return done; }));
        EXPECT_EQ(doneError, row.error);
        EXPECT_EQ(body.Bytes(), "");
        // A later request that fails another way tells its own cause.
        socks.Stop();
        done = false;
        const GetOutcome later = RunGet(cli);
        EXPECT_TRUE(later.raised);
        EXPECT_EQ(cli.ReasonPhrase(), "Connection refused (Error #10061)");
        EXPECT_EQ(FailureCause(cli).toStdString(),
                  "Server SOCKS 127.0.0.1:" + socks.PortText() + ": connessione rifiutata.");
    }
}
