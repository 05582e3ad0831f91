#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class QFile;

// Reading the visit record back, for a run that did not reach its end.

// A visit as a resumed run recognises it: address, number within its entry,
// and the entry's count.
QString ChiaveVisita(const QString &indirizzo, int accesso, int di);

// A fresh run's id for the record's last column: when it started, and a
// random tail so that two runs started in the same millisecond differ.
QString NuovoIdCorsa();

// The records of RFC 4180 text. A last record the writer never finished (no
// line end after it, or a quote left open) is not one.
std::vector<QStringList> LeggiCsv(const QByteArray &dati);

// The unfinished run of a list: the last run of that list in the record, when
// every visit it made is one of the list's lines as they are now and the
// record does not hold them all.
struct CorsaSospesa {
    QString id;
    QHash<QString, int> fatte; // visits recorded as made, by ChiaveVisita
    int accessiFatti = 0;      // of the list's visits, those the record holds
    int accessiTotali = 0;
};
// Rows of another shape (torn by a kill, written by hand) are passed over.
// A visit that ended "interrotto" counts as not made: it is made again.
std::optional<CorsaSospesa> CorsaDaRiprendere(const QString &registro, const QString &lista, const QStringList &voci);

// Before the record is opened to append: a file whose first row is not this
// header (an older program's, without the run column) is set aside whole
// under a name of its own, and a new file is started. Returns that name, or
// an empty string when nothing was set aside.
QString MettiDaParteRegistroDiverso(const QString &percorso, const QStringList &intestazione);
