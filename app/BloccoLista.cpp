#include "app/BloccoLista.h"

#include "platform/Paths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString BloccoLista::FileBlocco(const QString &percorsoLista)
{
    // One folder, one file per list path: the folder can be emptied by hand
    // at any time nothing runs. The path's hash keeps every name short and
    // tells two lists of the same name apart.
    const QByteArray hash = QCryptographicHash::hash(percorsoLista.toUtf8(), QCryptographicHash::Sha256).toHex();
    return DataFilePath(QStringLiteral("blocchi/")) + QString::fromLatin1(hash.left(32)) + QStringLiteral(".lock");
}

std::unique_ptr<BloccoLista> BloccoLista::Prendi(const QString &percorsoLista, Esito *esito, QString *perche)
{
    Esito ignorato;
    QString ignorata;
    if (!esito)
        esito = &ignorato;
    if (!perche)
        perche = &ignorata;
    const QString file = FileBlocco(percorsoLista);
    QDir().mkpath(QFileInfo(file).path());
    const QByteArray percorso = QFile::encodeName(file);
    // The file stays; only the lock dies. Removing it at the end would let a
    // run that opened it just before lock a file nobody else can see any more.
    // Not inherited: the browser engine's helpers outlive a killed program
    // for a moment, and must not hold its list.
    int fd = ::open(percorso.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A lock file this user may not write (left by root) still takes a lock:
    // flock asks nothing of the descriptor's mode.
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd = ::open(percorso.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *esito = Esito::Impossibile;
        *perche = QStringLiteral("%1: %2").arg(file, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    int risultato;
    do
        risultato = ::flock(fd, LOCK_EX | LOCK_NB);
    while (risultato != 0 && errno == EINTR);
    if (risultato != 0) {
        const int causa = errno;
        ::close(fd);
        *esito = causa == EWOULDBLOCK ? Esito::Occupato : Esito::Impossibile;
        *perche = QStringLiteral("%1: %2").arg(file, QString::fromLocal8Bit(std::strerror(causa)));
        return nullptr;
    }
    *esito = Esito::Preso;
    return std::unique_ptr<BloccoLista>(new BloccoLista(fd));
}

BloccoLista::~BloccoLista()
{
    ::close(fd_);
}

QString AvvisoListaInEsecuzione(const QString &lista)
{
    return QStringLiteral("Impossibile iniziare la procedura, la lista %1 è già in esecuzione.").arg(lista);
}

QString AvvisoListaNonBloccabile(const QString &lista, const QString &perche)
{
    return QStringLiteral("Impossibile iniziare la procedura, la lista %1 non può essere bloccata: %2")
        .arg(lista, perche);
}
