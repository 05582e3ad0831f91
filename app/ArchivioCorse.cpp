#include "app/ArchivioCorse.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <sqlite3.h>

namespace {
// SQLite's primary result codes for a file that is no store of ours.
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteNotADb = 26;

QString Momento(const QDateTime &quando)
{
    return quando.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime DaMomento(const QVariant &testo)
{
    return testo.isNull() ? QDateTime() : QDateTime::fromString(testo.toString(), Qt::ISODateWithMs);
}

int CodiceSqlite(const QSqlError &errore)
{
    return errore.nativeErrorCode().toInt() & 0xff;
}

// Moves the store and its companions aside, under a name no other file has.
QString MettiDaParte(const QString &percorso, const QString &perche)
{
    const QFileInfo info(percorso);
    const QString base = info.path() + u'/' + info.completeBaseName() + u'-' + perche;
    QString nuovo = base + QStringLiteral(".sqlite");
    for (int n = 2; QFileInfo::exists(nuovo); ++n)
        nuovo = base + u'-' + QString::number(n) + QStringLiteral(".sqlite");
    if (!QFile::rename(percorso, nuovo))
        return QString();
    // The log of writes not yet folded in belongs to the file it goes with;
    // the shared-memory index is rebuilt from it.
    QFile::rename(percorso + QStringLiteral("-wal"), nuovo + QStringLiteral("-wal"));
    QFile::remove(percorso + QStringLiteral("-shm"));
    return nuovo;
}

CorsaArchiviata LeggiCorsa(const QSqlQuery &q)
{
    CorsaArchiviata c;
    c.id = q.value(0).toString();
    c.lista = q.value(1).toString();
    c.impronta = q.value(2).toString();
    c.modalita = q.value(3).toString();
    c.inizio = DaMomento(q.value(4));
    c.fine = DaMomento(q.value(5));
    c.esito = q.value(6).toString();
    c.richiesti = q.value(7).toLongLong();
    c.fatti = q.value(8).toLongLong();
    c.falliti = q.value(9).toLongLong();
    return c;
}

// A run that never ended has no counts of its own: its visits tell them.
const char *const kColonneCorsa =
    "c.id, c.lista, c.impronta, c.modalita, c.inizio, c.fine, c.esito, c.richiesti, "
    "coalesce(c.fatti, (select count(*) from visite v where v.corsa = c.n and v.esito = 0)), "
    "coalesce(c.falliti, (select count(*) from visite v where v.corsa = c.n and v.esito = 1))";
} // namespace

IdentitaLista IdentificaLista(const QString &percorso, const QStringList &voci)
{
    const QFileInfo info(percorso);
    IdentitaLista identita;
    identita.percorso = info.canonicalFilePath().isEmpty() ? info.absoluteFilePath() : info.canonicalFilePath();
    // The lines, not the bytes: a list saved again with other line ends is
    // the same list, as the run sees it.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString &voce : voci) {
        hash.addData(voce.toUtf8());
        hash.addData(QByteArrayView("\n", 1));
    }
    identita.impronta = QString::fromLatin1(hash.result().toHex());
    return identita;
}

// Prepared once for the run: a fast list makes hundreds of visits a second.
// A visit's insert goes to SQLite itself, through the driver's own handle:
// binding four integers through QVariant is a good part of what the store
// costs a fast run. Qt's driver and this code use the same system library.
struct ArchivioCorse::Istruzioni {
    explicit Istruzioni(const QSqlDatabase &db) : numero(db)
    {
        const QVariant handle = db.driver()->handle();
        if (qstrcmp(handle.typeName(), "sqlite3*") == 0)
            sqlite = *static_cast<sqlite3 *const *>(handle.constData());
        if (sqlite)
            sqlite3_prepare_v3(sqlite, "insert or replace into visite(corsa, voce, accesso, esito) values (?, ?, ?, ?)",
                               -1, SQLITE_PREPARE_PERSISTENT, &visita, nullptr);
    }
    ~Istruzioni() { sqlite3_finalize(visita); }
    sqlite3 *sqlite = nullptr;
    sqlite3_stmt *visita = nullptr;
    QSqlQuery numero;
};

ArchivioCorse::ArchivioCorse(QString percorso)
    : percorso_(std::move(percorso)),
      connessione_(QStringLiteral("archivio-%1").arg(reinterpret_cast<quintptr>(this), 0, 16))
{
    QString perche;
    bool futura = false;
    Apertura esito = Apri(&perche, &futura);
    if (esito == Apertura::DaMettereDaParte) {
        Chiudi();
        const QString altrove =
            MettiDaParte(percorso_, futura ? QStringLiteral("versione-futura") : QStringLiteral("danneggiato"));
        if (altrove.isEmpty()) {
            errore_ =
                QStringLiteral("Impossibile mettere da parte l'archivio delle corse %1 (%2).").arg(percorso_, perche);
            return;
        }
        avviso_ = (futura ? QStringLiteral("L'archivio delle corse %1 è di una versione più recente del programma")
                                .arg(percorso_)
                          : QStringLiteral("L'archivio delle corse %1 non è leggibile (%2)").arg(percorso_, perche)) +
                  QStringLiteral(": è stato messo da parte come %1 e ne è stato cominciato uno nuovo.").arg(altrove);
        esito = Apri(&perche, &futura);
    }
    if (esito != Apertura::Fatta) {
        Chiudi();
        errore_ = QStringLiteral("Impossibile aprire l'archivio delle corse %1: %2").arg(percorso_, perche);
        return;
    }
    istruzioni_ = std::make_unique<Istruzioni>(QSqlDatabase::database(connessione_, false));
    istruzioni_->numero.prepare(QStringLiteral("select n from corse where id = ?"));
    if (!istruzioni_->visita) {
        Chiudi();
        errore_ = QStringLiteral("Impossibile preparare l'archivio delle corse %1.").arg(percorso_);
        return;
    }
    aperto_ = true;
}

ArchivioCorse::~ArchivioCorse()
{
    Chiudi();
}

void ArchivioCorse::Chiudi()
{
    istruzioni_.reset();
    aperto_ = false;
    if (QSqlDatabase::contains(connessione_)) {
        QSqlDatabase::database(connessione_, false).close();
        QSqlDatabase::removeDatabase(connessione_);
    }
}

ArchivioCorse::Apertura ArchivioCorse::Apri(QString *perche, bool *futura)
{
    *futura = false;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connessione_);
    if (!db.isValid()) {
        *perche = QStringLiteral("il driver SQLite di Qt (libqt6sql6-sqlite) non è installato");
        return Apertura::Impossibile;
    }
    db.setDatabaseName(percorso_);
    // Runs of other lists write the same store; they wait for each other a
    // moment rather than fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open()) {
        *perche = db.lastError().text();
        return Apertura::Impossibile;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("pragma user_version")) || !q.next()) {
        *perche = q.lastError().text();
        const int codice = CodiceSqlite(q.lastError());
        return codice == kSqliteNotADb || codice == kSqliteCorrupt ? Apertura::DaMettereDaParte : Apertura::Impossibile;
    }
    const int versione = q.value(0).toInt();
    if (versione > kVersione) {
        *futura = true;
        *perche = QStringLiteral("versione %1").arg(versione);
        return Apertura::DaMettereDaParte;
    }
    // A visit's commit writes whole pages to the log: small pages make it a
    // third cheaper (rows are a few bytes). Only a store not yet begun takes
    // the size; one already written keeps its own.
    q.exec(QStringLiteral("pragma page_size=1024"));
    // WAL: a reader never waits for the run that writes, and a commit is one
    // append, whole or absent after a kill. NORMAL keeps it whole against
    // any end of the program; only a power cut may lose the last visits.
    if (!q.exec(QStringLiteral("pragma journal_mode=wal")) || !q.next() ||
        q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        *perche = q.lastError().isValid() ? q.lastError().text() : QStringLiteral("modalità WAL non disponibile");
        const int codice = CodiceSqlite(q.lastError());
        return codice == kSqliteNotADb || codice == kSqliteCorrupt ? Apertura::DaMettereDaParte : Apertura::Impossibile;
    }
    q.exec(QStringLiteral("pragma synchronous=normal"));
    // Folding the log into the file is the one step that waits for the disk;
    // done every few thousand visits rather than every few hundred, it costs a
    // fast run little, and the log stays a few megabytes.
    q.exec(QStringLiteral("pragma wal_autocheckpoint=4000"));
    if (versione == kVersione)
        return Apertura::Fatta;
    const char *const schema[] = {
        "create table if not exists corse(n integer primary key, id text not null unique, lista text not null, "
        "impronta text not null, modalita text not null, inizio text not null, fine text, esito text, "
        "richiesti integer not null, fatti integer, falliti integer)",
        "create index if not exists corse_lista on corse(lista, n)",
        // Kept in the order of their key, with no other index to update: what
        // a resume reads, the run's visits, lie together whatever else the
        // store holds, and a visit costs one tree to write. A visit made again
        // (interrupted, then made) keeps its last outcome.
        "create table if not exists visite(corsa integer not null, voce integer not null, accesso integer not null, "
        "esito integer not null, primary key (corsa, voce, accesso)) without rowid",
        "pragma user_version = 1",
    };
    db.transaction();
    for (const char *istruzione : schema) {
        if (!q.exec(QString::fromLatin1(istruzione))) {
            *perche = q.lastError().text();
            db.rollback();
            return Apertura::Impossibile;
        }
    }
    if (!db.commit()) {
        *perche = db.lastError().text();
        return Apertura::Impossibile;
    }
    return Apertura::Fatta;
}

bool ArchivioCorse::Riuscito(bool ok, const QSqlQuery &query, const char *cosa)
{
    if (!ok && errore_.isEmpty())
        errore_ = QStringLiteral("Impossibile %1 nell'archivio delle corse %2: %3")
                      .arg(QString::fromUtf8(cosa), percorso_, query.lastError().text());
    return ok;
}

bool ArchivioCorse::Esegui(QSqlQuery &query, const char *cosa)
{
    return Riuscito(query.exec(), query, cosa);
}

std::optional<CorsaArchiviata> ArchivioCorse::UltimaNonCompletata(const QString &percorsoLista)
{
    if (!aperto_)
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(connessione_, false));
    q.prepare(QStringLiteral("select %1 from corse c where c.lista = ? order by c.n desc limit 1")
                  .arg(QLatin1String(kColonneCorsa)));
    q.addBindValue(percorsoLista);
    if (!Esegui(q, "leggere") || !q.next())
        return std::nullopt;
    CorsaArchiviata corsa = LeggiCorsa(q);
    if (corsa.esito == QLatin1String("completato"))
        return std::nullopt;
    return corsa;
}

FatteDellaCorsa ArchivioCorse::Fatte(const QString &id)
{
    FatteDellaCorsa fatte;
    const std::optional<qint64> n = Numero(id);
    if (!n)
        return fatte;
    const QSqlDatabase db = QSqlDatabase::database(connessione_, false);
    // An entry's visits are made in order, so what a run made of it is
    // nearly always 1..k: told by three numbers, however large k.
    QSqlQuery q(db);
    q.prepare(QStringLiteral("select voce, count(*), min(accesso), max(accesso) from visite "
                             "where corsa = ? and esito < 2 group by voce"));
    q.addBindValue(*n);
    if (!Esegui(q, "leggere"))
        return fatte;
    std::vector<int> sparse;
    while (q.next()) {
        const int voce = q.value(0).toInt();
        const qint64 quante = q.value(1).toLongLong(), da = q.value(2).toLongLong(), a = q.value(3).toLongLong();
        if (quante == a - da + 1)
            fatte[voce].push_back({da, a});
        else
            sparse.push_back(voce);
    }
    // Otherwise (a visit made twice, one not made between others) the rows
    // themselves, folded into ranges.
    for (const int voce : sparse) {
        QSqlQuery r(db);
        r.prepare(QStringLiteral("select distinct accesso from visite where corsa = ? and voce = ? and esito < 2 "
                                 "order by accesso"));
        r.addBindValue(*n);
        r.addBindValue(voce);
        if (!Esegui(r, "leggere"))
            return {};
        std::vector<Intervallo> &intervalli = fatte[voce];
        while (r.next()) {
            const qint64 accesso = r.value(0).toLongLong();
            if (!intervalli.empty() && intervalli.back().a + 1 == accesso)
                intervalli.back().a = accesso;
            else
                intervalli.push_back({accesso, accesso});
        }
    }
    return fatte;
}

std::optional<qint64> ArchivioCorse::Numero(const QString &id)
{
    if (!aperto_)
        return std::nullopt;
    const auto noto = numeri_.find(id);
    if (noto != numeri_.end())
        return noto->second;
    QSqlQuery &q = istruzioni_->numero;
    q.addBindValue(id);
    if (!Esegui(q, "leggere") || !q.next())
        return std::nullopt;
    const qint64 n = q.value(0).toLongLong();
    q.finish();
    numeri_[id] = n;
    return n;
}

bool ArchivioCorse::NuovaCorsa(const QString &id, const IdentitaLista &lista, const QString &modalita, qint64 richiesti)
{
    if (!aperto_)
        return false;
    QSqlDatabase db = QSqlDatabase::database(connessione_, false);
    const QString adesso = Momento(QDateTime::currentDateTimeUtc());
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("update corse set fine = ?, esito = 'abbandonato' where lista = ? and "
                             "(esito is null or esito not in ('completato', 'abbandonato'))"));
    q.addBindValue(adesso);
    q.addBindValue(lista.percorso);
    bool ok = Esegui(q, "scrivere");
    if (ok) {
        q.prepare(QStringLiteral("insert into corse(id, lista, impronta, modalita, inizio, richiesti) "
                                 "values (?, ?, ?, ?, ?, ?)"));
        q.addBindValue(id);
        q.addBindValue(lista.percorso);
        q.addBindValue(lista.impronta);
        q.addBindValue(modalita);
        q.addBindValue(adesso);
        q.addBindValue(richiesti);
        ok = Esegui(q, "scrivere");
    }
    if (ok)
        ok = Riuscito(db.commit(), q, "scrivere");
    else
        db.rollback();
    return ok;
}

bool ArchivioCorse::Visita(const QString &id, int voce, qint64 accesso, int esito)
{
    const std::optional<qint64> n = Numero(id);
    if (!n)
        return false;
    sqlite3_stmt *q = istruzioni_->visita;
    sqlite3_bind_int64(q, 1, *n);
    sqlite3_bind_int64(q, 2, voce);
    sqlite3_bind_int64(q, 3, accesso);
    sqlite3_bind_int64(q, 4, esito);
    const bool ok = sqlite3_step(q) == SQLITE_DONE;
    if (!ok && errore_.isEmpty())
        errore_ = QStringLiteral("Impossibile scrivere nell'archivio delle corse %1: %2")
                      .arg(percorso_, QString::fromUtf8(sqlite3_errmsg(istruzioni_->sqlite)));
    sqlite3_reset(q);
    return ok;
}

bool ArchivioCorse::Fine(const QString &id, const QString &esito)
{
    const std::optional<qint64> n = Numero(id);
    if (!n)
        return false;
    // Counted from the visits: a resumed run's sessions add up.
    QSqlQuery q(QSqlDatabase::database(connessione_, false));
    q.prepare(QStringLiteral("update corse set fine = ?, esito = ?, "
                             "fatti = (select count(*) from visite where corsa = ? and esito = 0), "
                             "falliti = (select count(*) from visite where corsa = ? and esito = 1) where n = ?"));
    q.addBindValue(Momento(QDateTime::currentDateTimeUtc()));
    q.addBindValue(esito);
    for (int volte = 0; volte < 3; ++volte)
        q.addBindValue(*n);
    return Esegui(q, "scrivere");
}

std::vector<CorsaArchiviata> ArchivioCorse::Ultime(int quante, const QString &percorsoLista)
{
    std::vector<CorsaArchiviata> corse;
    if (!aperto_)
        return corse;
    QSqlQuery q(QSqlDatabase::database(connessione_, false));
    q.prepare(QStringLiteral("select %1 from corse c %2 order by c.n desc limit ?")
                  .arg(QLatin1String(kColonneCorsa),
                       percorsoLista.isEmpty() ? QString() : QStringLiteral("where c.lista = ?")));
    if (!percorsoLista.isEmpty())
        q.addBindValue(percorsoLista);
    q.addBindValue(quante);
    if (!Esegui(q, "leggere"))
        return corse;
    while (q.next())
        corse.push_back(LeggiCorsa(q));
    std::reverse(corse.begin(), corse.end());
    return corse;
}
