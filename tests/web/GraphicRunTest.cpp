#include "app/Main.h"
#include "app/Programma.h"
#include "app/Start.h"
#include "platform/web/WebBrowser.h"
#include "settings/Opzioni.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QListWidget>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

namespace {
// A minimal page server on the UI thread: it is served whenever the run
// processes messages, which is exactly while a graphic visit waits.
class PageServer : public QObject {
public:
    PageServer()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server_.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    buffer_[s] += s->readAll();
                    if (!buffer_[s].contains("\r\n\r\n"))
                        return;
                    const QList<QByteArray> words = buffer_[s].split(' ');
                    const QByteArray path = words.size() > 1 ? words[1] : QByteArray("/");
                    if (path != "/favicon.ico")
                        ++hits[QString::fromLatin1(path)];
                    const QByteArray body = "<html><body>pagina " + path + "</body></html>";
                    s->write("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    quint16 Port() const { return server_.serverPort(); }
    QMap<QString, int> hits;

private:
    QTcpServer server_;
    QMap<QTcpSocket *, QByteArray> buffer_;
};
} // namespace

TEST(GraphicRun, VisitsEveryPageItsNumberOfTimesThroughTheRealEngine)
{
    TempProgramFolder folder;
    BoxScript boxes;
    ShellLog shell;
    PageServer server;
    ASSERT_GT(server.Port(), 0);
    const QString host = QStringLiteral("127.0.0.1:%1").arg(server.Port());
    folder.Write("mia.tvx", ("Sito=" + host + "/alfa Num=2\r\nSito=" + host + "/beta Num=1\r\n").toLatin1());

    Finestre w = CreaFinestre(std::make_unique<WebBrowser>());
    w.opzioni->cbModalitaGrafica->setChecked(true);
    w.main->AggiornaElencoListe();
    w.main->BoxElencoListe->setCurrentRow(0);
    w.main->BoxElencoListeClick();
    QStringList log;
    boxes.ExpectQuestion(QStringLiteral("Vuoi visualizzare a video il resoconto del multi accesso?"), false,
                         [&] { log = w.main->RigheLog(); });
    w.main->btIniziaClick();
    boxes.Verify();

    EXPECT_EQ(server.hits.value("/alfa"), 2);
    EXPECT_EQ(server.hits.value("/beta"), 1);
    EXPECT_EQ(log.count(host + "/alfa...fatto."), 2);
    EXPECT_EQ(log.count(host + "/beta...fatto."), 1);
    EXPECT_FALSE(w.main->InEsecuzione());
}

TEST(GraphicRun, NavigationThatCannotStartRaises)
{
    WebBrowser browser;
    EXPECT_THROW(browser.Navigate(QStringLiteral("http://")), Exception);
    EXPECT_THROW(browser.Navigate(QStringLiteral("http://a b/")), Exception);
}
