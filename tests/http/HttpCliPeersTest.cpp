#include "tests/http/HttpTestHelpers.h"
#include "tests/support/NginxFixture.h"
#include "tests/support/TinyproxyFixture.h"

#include <QCryptographicHash>
#include <memory>

namespace {

QByteArray Sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

class HttpCliPeers : public ::testing::Test {
protected:
    void SetUp() override
    {
        try {
            nginx_ = std::make_unique<NginxServer>("location = /moved { return 302 /page.htm; }\n"
                                                   "        location = /relative { return 301 page.htm; }");
            proxy_ = std::make_unique<TinyproxyServer>();
        } catch (const std::exception &e) {
            FAIL() << "peer not available: " << e.what();
        }
        nginx_->Serve("page.htm", page_);
        nginx_->Serve("index.html", "index");
        nginx_->Serve("large.bin", large_);
    }

    std::string Base() const { return "http://127.0.0.1:" + nginx_->PortText().toStdString(); }

    void UseProxy(THttpCli &cli, bool viaProxy) const
    {
        if (viaProxy)
            cli.SetProxy("127.0.0.1:" + proxy_->PortText().toStdString());
    }

    static inline const QByteArray page_ = "<html><body>\r\nQuorvi test page\r\n</body></html>\r\n";
    static inline const QByteArray large_ = NoiseBytes(24 * 1024 * 1024 + 123, 2463534242u);
    std::unique_ptr<NginxServer> nginx_;
    std::unique_ptr<TinyproxyServer> proxy_;
};

} // namespace

TEST_F(HttpCliPeers, PagesErrorsAndRelocations)
{
    struct Row {
        const char *name;
        std::string path;
        bool raised;
        int code;
        QByteArray body; // when not raised
    };
    const Row rows[] = {
        {"a page", "/page.htm", false, 200, page_},
        {"a missing page", "/missing.htm", true, 404, {}},
        {"a relocation", "/moved", false, 200, page_},
        {"a site without a path", "", false, 200, "index"},
    };
    for (bool viaProxy : {false, true}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(row.name) + (viaProxy ? " through tinyproxy" : " directly"));
            TMemoryStream body;
            THttpCli cli;
            cli.SetRcvdStream(&body);
            UseProxy(cli, viaProxy);
            cli.SetURL(Base() + row.path);
            int relocations = 0;
            cli.OnLocationChange = [&](THttpCli *) { ++relocations; };
            const GetOutcome got = RunGet(cli, 10000);
            EXPECT_EQ(got.raised, row.raised) << got.message;
            EXPECT_EQ(row.raised ? got.code : cli.StatusCode(), row.code);
            if (row.raised) {
                EXPECT_EQ(got.message, "Not Found");
            } else {
                EXPECT_EQ(QByteArray::fromStdString(std::string(body.Bytes())), row.body);
            }
            EXPECT_EQ(relocations, row.path == "/moved" ? 1 : 0);
        }
    }
    // Every request reached nginx, the proxied ones too; the relocations
    // count twice.
    int pageHits = 0;
    for (const QString &line : nginx_->AccessLog())
        if (line.contains("\"GET /page.htm HTTP/1."))
            ++pageHits;
    EXPECT_EQ(pageHits, 4);
}

TEST_F(HttpCliPeers, LargeFileArrivesWhole)
{
    for (bool viaProxy : {false, true}) {
        SCOPED_TRACE(viaProxy ? "through tinyproxy" : "directly");
        TMemoryStream body;
        THttpCli cli;
        cli.SetRcvdStream(&body);
        UseProxy(cli, viaProxy);
        cli.SetURL(Base() + "/large.bin");
        const GetOutcome got = RunGet(cli, 30000);
        EXPECT_FALSE(got.raised) << got.message;
        EXPECT_EQ(cli.ContentLength(), large_.size());
        EXPECT_EQ(cli.RcvdCount(), large_.size());
        EXPECT_EQ(Sha256(QByteArray::fromStdString(std::string(body.Bytes()))), Sha256(large_));
        EXPECT_EQ(cli.DocName(), "large.bin");
    }
}

TEST_F(HttpCliPeers, RelativeRelocationAndHead)
{
    TMemoryStream body;
    THttpCli cli;
    cli.SetRcvdStream(&body);
    cli.SetURL(Base() + "/relative");
    EXPECT_FALSE(RunGet(cli, 10000).raised);
    EXPECT_EQ(QByteArray::fromStdString(std::string(body.Bytes())), page_);

    TMemoryStream headBody;
    cli.SetRcvdStream(&headBody);
    cli.SetURL(Base() + "/page.htm");
    bool done = false;
    // The completion of the Get above may still be on its way.
    cli.OnRequestDone = [&](THttpCli *, THttpRequest type, std::uint16_t) { done = done || type == rqHead; };
    cli.StartRequest(rqHead);
    ASSERT_TRUE(PumpUntil([&] { return done; }, 10000));
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_EQ(cli.ContentLength(), page_.size());
    EXPECT_EQ(headBody.Bytes(), "");
}
