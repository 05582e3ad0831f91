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
#include <sys/stat.h>
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
    // The run that holds the lock removes its file as it lets go, so that the
    // folder keeps no file of a list not running. A run that opened the file
    // just before then locks a file no longer there: it sees so and starts
    // again with the one the name now gives. Each turn means another run took
    // and left the list meanwhile: the bound is far beyond what happens.
    for (int volta = 0; volta < 100; ++volta) {
        // Not inherited: the browser engine's helpers outlive a killed program
        // for a moment, and must not hold its list.
        int fd = ::open(percorso.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        // A lock file this user may not write (left by root) still takes a
        // lock: flock asks nothing of the descriptor's mode.
        int causa = errno;
        if (fd < 0 && (causa == EACCES || causa == EPERM || causa == EROFS)) {
            fd = ::open(percorso.constData(), O_RDONLY | O_CLOEXEC);
            // None to open either: it cannot be made here, unless its run
            // removed it between the two attempts.
            if (fd < 0 && errno == ENOENT && volta == 0)
                continue;
            if (fd < 0 && errno != ENOENT)
                causa = errno;
        }
        if (fd < 0) {
            *esito = Esito::Impossibile;
            *perche = QStringLiteral("%1: %2").arg(file, QString::fromLocal8Bit(std::strerror(causa)));
            return nullptr;
        }
        if (DopoApertura)
            DopoApertura();
        int risultato;
        do
            risultato = ::flock(fd, LOCK_EX | LOCK_NB);
        while (risultato != 0 && errno == EINTR);
        if (risultato != 0) {
            causa = errno;
            ::close(fd);
            *esito = causa == EWOULDBLOCK ? Esito::Occupato : Esito::Impossibile;
            *perche = QStringLiteral("%1: %2").arg(file, QString::fromLocal8Bit(std::strerror(causa)));
            return nullptr;
        }
        struct stat aperto, nome;
        if (::fstat(fd, &aperto) == 0 && ::stat(percorso.constData(), &nome) == 0 && aperto.st_dev == nome.st_dev &&
            aperto.st_ino == nome.st_ino) {
            *esito = Esito::Preso;
            return std::unique_ptr<BloccoLista>(new BloccoLista(fd, percorso));
        }
        ::close(fd);
    }
    *esito = Esito::Occupato;
    *perche = QStringLiteral("%1: %2").arg(file, QString::fromLocal8Bit(std::strerror(EWOULDBLOCK)));
    return nullptr;
}

BloccoLista::~BloccoLista()
{
    // Removed while still held: whoever opens the name from now on gets a
    // new file, and whoever opened it before sees that it is gone.
    ::unlink(percorso_.constData());
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
