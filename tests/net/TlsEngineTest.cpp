#include "net/TlsEngine.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

// The server side of a session in memory, made with the library directly, so
// the engine is checked against an independent peer without any socket.
class MemoryServer {
public:
    MemoryServer(const TestAuthority::Issued &cert, int maxVersion = 0, const char *ciphers = nullptr)
    {
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (maxVersion) {
            SSL_CTX_set_min_proto_version(ctx_, maxVersion);
            SSL_CTX_set_max_proto_version(ctx_, maxVersion);
        }
        if (ciphers)
            SSL_CTX_set_cipher_list(ctx_, ciphers);
        EXPECT_EQ(1, SSL_CTX_use_certificate_chain_file(ctx_, cert.certificateFile.toLocal8Bit().constData()));
        EXPECT_EQ(1, SSL_CTX_use_PrivateKey_file(ctx_, cert.keyFile.toLocal8Bit().constData(), SSL_FILETYPE_PEM));
        ssl_ = SSL_new(ctx_);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in_, -1);
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_accept_state(ssl_);
    }
    ~MemoryServer()
    {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        ERR_clear_error();
    }
    void Put(const std::string &bytes) { BIO_write(in_, bytes.data(), static_cast<int>(bytes.size())); }
    std::string Take()
    {
        SSL_do_handshake(ssl_);
        std::string bytes(BIO_ctrl_pending(out_), '\0');
        if (!bytes.empty())
            BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
        return bytes;
    }
    std::string ReadPlain()
    {
        std::string text;
        char buf[4096];
        std::size_t got = 0;
        while (SSL_read_ex(ssl_, buf, sizeof buf, &got) == 1)
            text.append(buf, got);
        return text;
    }
    void WritePlain(const std::string &text) { SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }
    void CloseNotify() { SSL_shutdown(ssl_); }
    std::string ServerName() const
    {
        const char *name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
        return name ? name : "";
    }

private:
    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
    BIO *in_ = nullptr;
    BIO *out_ = nullptr;
};

// Carries bytes both ways in fragments of at most `fragment` bytes until
// neither side has anything to say.
void Exchange(TlsEngine &client, MemoryServer &server, std::size_t fragment = 1 << 20)
{
    for (int round = 0; round < 2000; ++round) {
        const std::string up = client.TakeCiphertext();
        if (!up.empty())
            server.Put(up);
        const std::string down = server.Take();
        for (std::size_t at = 0; at < down.size(); at += fragment) {
            client.PutCiphertext(down.data() + at, std::min(fragment, down.size() - at));
            client.Advance();
        }
        client.Advance();
        if (up.empty() && down.empty())
            return;
    }
    ADD_FAILURE() << "the exchange did not settle";
}

std::string ReadAll(TlsEngine &client)
{
    std::string text;
    char buf[1000];
    for (int n; (n = client.Read(buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    return text;
}

class TlsEngineTest : public ::testing::Test {
protected:
    TestAuthority ca_;
    TrustOnly trust_{ca_.CertificateFile()};
};

TEST_F(TlsEngineTest, HandshakeThenDataBothWaysInOneByteFragments)
{
    MemoryServer server(ca_.Issue("site", {"www.example.test"}));
    TlsEngine client;
    ASSERT_TRUE(client.Begin("www.example.test"));
    EXPECT_GT(client.PendingCiphertext(), 0u) << "the hello goes out at once";
    Exchange(client, server, 1);
    ASSERT_EQ(TlsEngine::Phase::Open, client.State()) << client.Reason();
    EXPECT_EQ("www.example.test", server.ServerName());
    EXPECT_TRUE(client.Protocol() == "TLSv1.3" || client.Protocol() == "TLSv1.2");

    ASSERT_TRUE(client.Write("GET / HTTP/1.0\r\n\r\n", 18));
    server.Put(client.TakeCiphertext());
    EXPECT_EQ("GET / HTTP/1.0\r\n\r\n", server.ReadPlain());

    const std::string body(100000, 'x');
    server.WritePlain(body);
    server.CloseNotify();
    const std::string down = server.Take();
    for (char c : down)
        client.PutCiphertext(&c, 1);
    EXPECT_EQ(body, ReadAll(client));
    EXPECT_EQ(TlsEngine::Phase::Closed, client.State());
    EXPECT_TRUE(client.CloseAlertSeen());
    EXPECT_EQ("", client.Reason());
}

TEST_F(TlsEngineTest, AbsoluteNameIsCheckedAndIndicatedWithoutItsDot)
{
    MemoryServer server(ca_.Issue("site", {"www.example.test"}));
    TlsEngine client;
    ASSERT_TRUE(client.Begin("www.example.test."));
    Exchange(client, server);
    EXPECT_EQ(TlsEngine::Phase::Open, client.State()) << client.Reason();
    EXPECT_EQ("www.example.test", server.ServerName());
}

TEST_F(TlsEngineTest, EndWithoutCloseAlertEndsTheStreamCleanly)
{
    MemoryServer server(ca_.Issue("site", {"127.0.0.1"}));
    TlsEngine client;
    ASSERT_TRUE(client.Begin("127.0.0.1"));
    Exchange(client, server);
    ASSERT_EQ(TlsEngine::Phase::Open, client.State()) << client.Reason();
    EXPECT_EQ("", server.ServerName()) << "no name indication for an address";
    server.WritePlain("page");
    const std::string down = server.Take();
    client.PutCiphertext(down.data(), down.size());
    client.PutEnd();
    EXPECT_EQ("page", ReadAll(client));
    EXPECT_EQ(TlsEngine::Phase::Closed, client.State());
    // The reader is told: an answer of unknown length may be cut.
    EXPECT_FALSE(client.CloseAlertSeen());
}

TEST_F(TlsEngineTest, RefusedPeersNameTheirCause)
{
    TestAuthority other("Somebody Else CA");
    struct Row {
        const char *name;
        TestAuthority::Issued cert;
        std::string host;
        int serverVersion;
        const char *ciphers;
        TlsFailure failure;
        const char *reason;
    };
    const Row rows[] = {
        {"other authority", other.Issue("other", {"www.example.test"}), "www.example.test", 0, nullptr,
         TlsFailure::UntrustedIssuer, "TLS: the certificate's issuer is not trusted"},
        {"expired", ca_.Issue("old", {"www.example.test"}, -60, -1), "www.example.test", 0, nullptr,
         TlsFailure::Expired, "TLS: the certificate has expired"},
        {"not yet valid", ca_.Issue("young", {"www.example.test"}, 2, 30), "www.example.test", 0, nullptr,
         TlsFailure::NotYetValid, "TLS: the certificate is not valid yet"},
        {"other name", ca_.Issue("name", {"other.example.test"}), "www.example.test", 0, nullptr, TlsFailure::WrongHost,
         "TLS: the certificate is for another host"},
        {"other address", ca_.Issue("addr", {"127.0.0.2"}), "127.0.0.1", 0, nullptr, TlsFailure::WrongHost,
         "TLS: the certificate is for another host"},
        {"name is not an address", ca_.Issue("byname", {"localhost"}), "127.0.0.1", 0, nullptr, TlsFailure::WrongHost,
         "TLS: the certificate is for another host"},
        {"partial wildcard", ca_.Issue("wild", {"w*.example.test"}), "www.example.test", 0, nullptr,
         TlsFailure::WrongHost, "TLS: the certificate is for another host"},
        {"TLS 1.0 only", ca_.Issue("v10", {"www.example.test"}), "www.example.test", TLS1_VERSION,
         "DEFAULT:@SECLEVEL=0", TlsFailure::NoCommonProtocol,
         "TLS: no protocol version or cipher in common with the server"},
        {"TLS 1.1 only", ca_.Issue("v11", {"www.example.test"}), "www.example.test", TLS1_1_VERSION,
         "DEFAULT:@SECLEVEL=0", TlsFailure::NoCommonProtocol,
         "TLS: no protocol version or cipher in common with the server"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        MemoryServer server(row.cert, row.serverVersion, row.ciphers);
        TlsEngine client;
        ASSERT_TRUE(client.Begin(row.host));
        Exchange(client, server);
        EXPECT_EQ(TlsEngine::Phase::Failed, client.State());
        EXPECT_EQ(row.failure, client.Failure());
        EXPECT_EQ(row.reason, client.Reason());
        char buf[16];
        EXPECT_EQ(0, client.Read(buf, sizeof buf));
        EXPECT_FALSE(client.Write("x", 1)) << "nothing is sent over a refused session";
    }
}

TEST_F(TlsEngineTest, PeersThatDoNotSpeakTls)
{
    struct Row {
        const char *name;
        std::string bytes;
        bool end;
        TlsEngine::Phase phase;
        TlsFailure failure;
    };
    const Row rows[] = {
        {"plain HTTP answer", "HTTP/1.0 400 Bad Request\r\n\r\n", false, TlsEngine::Phase::Failed, TlsFailure::NotTls},
        {"closed at once", "", true, TlsEngine::Phase::Failed, TlsFailure::ClosedEarly},
        {"closed inside a record", std::string("\x16\x03\x03\x00\x40\x02\x00", 7), true, TlsEngine::Phase::Failed,
         TlsFailure::ClosedEarly},
        {"half a record and silence", std::string("\x16\x03\x03\x00\x40\x02\x00", 7), false,
         TlsEngine::Phase::Handshaking, TlsFailure::None},
        {"oversized record", std::string("\x16\x03\x03\xff\xff", 5) + std::string(64, 'a'), false,
         TlsEngine::Phase::Failed, TlsFailure::NotTls},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TlsEngine client;
        ASSERT_TRUE(client.Begin("www.example.test"));
        client.TakeCiphertext();
        client.PutCiphertext(row.bytes.data(), row.bytes.size());
        if (row.end)
            client.PutEnd();
        client.Advance();
        EXPECT_EQ(row.phase, client.State()) << client.Reason();
        EXPECT_EQ(row.failure, client.Failure()) << client.Reason();
        if (row.phase == TlsEngine::Phase::Failed) {
            EXPECT_EQ(0u, client.Reason().rfind("TLS: ", 0)) << client.Reason();
        }
    }
}

TEST_F(TlsEngineTest, TrustStoreSettingIsFollowedWhenItChanges)
{
    TestAuthority other("Second CA");
    const auto cert = other.Issue("site", {"www.example.test"});
    {
        MemoryServer server(cert);
        TlsEngine client;
        ASSERT_TRUE(client.Begin("www.example.test"));
        Exchange(client, server);
        EXPECT_EQ(TlsFailure::UntrustedIssuer, client.Failure());
    }
    TrustOnly second(other.CertificateFile());
    MemoryServer server(cert);
    TlsEngine client;
    ASSERT_TRUE(client.Begin("www.example.test"));
    Exchange(client, server);
    EXPECT_EQ(TlsEngine::Phase::Open, client.State()) << client.Reason();
}

} // namespace
