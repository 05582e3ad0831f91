#include "tests/app/AppFixture.h"

#include "tests/support/NginxTlsFixture.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"

namespace {

const QString kReport = QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?");

class HttpsRun : public AppFixture {
protected:
    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
};

int Hits(const QStringList &accessLog, const QString &request)
{
    int hits = 0;
    for (const QString &line : accessLog)
        hits += line.contains(request) ? 1 : 0;
    return hits;
}

} // namespace

TEST_F(HttpsRun, RedirectedHttpsUntrustedAndStalledEntries)
{
    NginxTlsServer::Options options;
    options.plainLocations = "location = /vai { return 301 https://localhost:$tls/pagina.html; }";
    NginxTlsServer nginx(ca_.Issue("site", {"localhost", "127.0.0.1"}), options);
    nginx.Serve("pagina.html", "<html>\r\nsicura\r\n</html>");
    TestAuthority stranger("Sconosciuta CA");
    NginxTlsServer untrusted(stranger.Issue("other", {"localhost", "127.0.0.1"}));
    untrusted.Serve("pagina.html", "mai vista");
    ScriptedServer stalled({ConnectionScript().ReadBytes(5).Send(std::string("\x16\x03\x03\x00\x7a\x02", 6)).Hold()});

    const QString redirected = "127.0.0.1:" + nginx.PlainPortText() + "/vai";
    const QString secure = "https://localhost:" + nginx.PortText() + "/pagina.html";
    const QString stranger_ = "HTTPS://127.0.0.1:" + untrusted.PortText() + "/pagina.html";
    const QString stall = "https://127.0.0.1:" + QString::fromStdString(stalled.PortText()) + "/";
    LoadList("sicura.tvx", ("Sito=" + redirected + " Num=2\r\nSito=" + secure + " Num=2\r\nSito=" + stranger_ +
                            " Num=1\r\nSito=" + stall + " Num=1\r\n")
                               .toLatin1());
    // The run's time-out ends the stalled handshake; the others are far quicker.
    main->TimerOut->setInterval(3000);
    QStringList visited;
    main->PrimaDellaVisita = [&](const QString &url) { visited.append(url); };
    boxes.ExpectQuestion(kReport, true);
    main->btIniziaClick();

    EXPECT_EQ(visited, (QStringList{"http://" + redirected, "http://" + redirected, secure, secure, stranger_, stall}));
    const QStringList log = SplitLines(DecodeAnsi(folder.Read("LogQuorvi.txt")));
    ASSERT_GE(log.size(), 18);
    EXPECT_EQ(log.mid(1, 17),
              (QStringList{"Inizio di 1 multi accessi in:", redirected, "Multi accesso numero 1",
                           redirected + "...fatto.", "Multi accesso numero 2", redirected + "...fatto.", secure,
                           "Multi accesso numero 1", secure + "...fatto.", "Multi accesso numero 2",
                           secure + "...fatto.", stranger_, "Multi accesso numero 1", stranger_ + "...errore.", stall,
                           "Multi accesso numero 1", stall + "...errore."}));
    EXPECT_EQ(main->RigheCodice(), QStringList{});
    EXPECT_EQ(Hits(nginx.AccessLog(), "GET /vai HTTP/1.0"), 2);
    EXPECT_EQ(Hits(nginx.AccessLog(), "GET /pagina.html HTTP/1.0"), 4);
    EXPECT_TRUE(untrusted.AccessLog().isEmpty());
    EXPECT_EQ(main->AccessiFalliti, 2);
}

TEST_F(HttpsRun, GraphicModeGetsTheAddressAsWritten)
{
    LoadList("mista.tvx", "Sito=https://www.a.example/p Num=1\r\nSito=www.b.example/q Num=1\r\n");
    w.opzioni->cbModalitaGrafica->setChecked(true);
    boxes.ExpectQuestion(kReport, false);
    main->btIniziaClick();
    EXPECT_EQ(fake->navigated, (QStringList{"https://www.a.example/p", "http://www.b.example/q"}));
}
