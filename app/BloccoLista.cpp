#include "app/BloccoLista.h"

#include "platform/Paths.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

std::unique_ptr<BloccoLista> BloccoLista::Prendi(const QString &lista)
{
    // Hidden beside the lists; the file stays, only the lock dies. Removing it
    // at the end would let a run that opened it just before lock a file
    // nobody else can see any more.
    const QByteArray percorso = QFile::encodeName(DataFilePath(QStringLiteral(".") + lista + QStringLiteral(".lock")));
    // Not inherited: the browser engine's helpers outlive a killed program
    // for a moment, and must not hold its list.
    const int fd = ::open(percorso.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A folder that takes no file takes no record either; the run says so
    // itself, and nothing would be gained by refusing it here.
    if (fd < 0)
        return std::unique_ptr<BloccoLista>(new BloccoLista(-1));
    int esito;
    do
        esito = ::flock(fd, LOCK_EX | LOCK_NB);
    while (esito != 0 && errno == EINTR);
    if (esito != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<BloccoLista>(new BloccoLista(fd));
}

BloccoLista::~BloccoLista()
{
    if (fd_ >= 0)
        ::close(fd_);
}

QString AvvisoListaInEsecuzione(const QString &lista)
{
    return QStringLiteral("Impossibile iniziare la procedura, la lista %1 è già in esecuzione.").arg(lista);
}
