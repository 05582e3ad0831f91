#include "tests/interop/InteropVisit.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/TestCertificates.h"

#include <QTimer>
#include <memory>

namespace {

// openssl s_server without -WWW sends what it reads on its input. The test
// hands it the answer once the request has come; at the end of its input it
// closes the connection without a close alert, as a server that dies or a
// network that cuts the session would.
class TlsEndings : public ::testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<StartedPeer> StartServer()
    {
        try {
            return std::make_unique<StartedPeer>("openssl", [&](StartedPeer &, std::uint16_t port) {
                return QStringList{
                    "s_server", "-accept",     "127.0.0.1:" + QString::number(port), "-cert", site_.certificateFile,
                    "-key",     site_.keyFile, QString::fromStdString(GetParam())};
            });
        } catch (const std::exception &e) {
            ADD_FAILURE() << "openssl s_server did not start: " << e.what();
            return nullptr;
        }
    }

    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
    TestAuthority::Issued site_ = ca_.Issue("site", {"localhost", "127.0.0.1"});
};

TEST_P(TlsEndings, SessionCutWithoutCloseAlertFailsTheVisit)
{
    // Digits only: s_server takes a read from its input that starts with
    // certain letters as a command.
    std::string digits;
    for (int i = 0; i < 500; ++i)
        digits += "0123456789";
    const struct {
        const char *name;
        std::string answer;
    } rows[] = {
        {"length unknown", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + digits},
        {"length known", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100000\r\n\r\n" + digits},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const auto server = StartServer();
        ASSERT_TRUE(server);
        QString seen;
        QTimer feeder;
        QObject::connect(&feeder, &QTimer::timeout, [&] {
            seen += server->Output();
            if (seen.contains("GET /page.htm")) {
                feeder.stop();
                server->WriteInput(QByteArray::fromStdString(row.answer));
                server->CloseInput();
            }
        });
        feeder.start(10);
        const Visit visit = VisitUrl("https://localhost:" + server->PortText().toStdString() + "/page.htm");
        EXPECT_FALSE(feeder.isActive()) << "the request never reached the server: " << seen.toStdString();
        EXPECT_TRUE(visit.outcome.raised) << "status " << visit.status << ", " << visit.body.size() << " bytes";
        EXPECT_GE(visit.status, 400);
        EXPECT_FALSE(visit.reason.empty());
        EXPECT_TRUE(visit.doneCame);
        EXPECT_NE(0, visit.doneError);
    }
}

INSTANTIATE_TEST_SUITE_P(Interop, TlsEndings, ::testing::Values("-tls1_2", "-tls1_3"),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             return info.param == "-tls1_2" ? std::string("TLS12") : std::string("TLS13");
                         });

} // namespace
