#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

// One visit as the record keeps it.
struct RigaVisita {
    QDateTime inizio;
    QString lista;
    QString indirizzo;
    int accesso = 0;
    int di = 0;
    bool grafica = false;
    QString esito;              // "fatto", "errore" or "interrotto"
    int stato = 0;              // HTTP status; 0 when no answer came
    std::optional<qint64> byte; // body bytes; none in graphic mode
    qint64 durataMs = 0;
    QString motivo; // empty on success
    QString corsa;  // the run the visit belongs to
};

inline const QString kNomeRegistroVisite = QStringLiteral("LogQuorvi.csv");

// The record's columns, in their order.
const QStringList &ColonneRegistro();

// ISO 8601 local time with its offset and milliseconds: 2026-12-07T16:49:05.123+01:00.
QString MomentoIso(const QDateTime &quando);

// The current local time, with its offset from UTC. Asking the system for the
// local time costs more than a short visit to this machine, so the offset is
// kept until the zone's next change of offset (and read again every ten
// minutes, in case the machine's zone itself is changed).
QDateTime AdessoLocale();

// One RFC 4180 record: fields quoted when they hold a comma, a quote, CR or LF
// (quotes doubled), joined by commas, ended by CR LF; UTF-8.
QByteArray RecordCsv(const QStringList &campi);
// A field as the record writes it: one that a spreadsheet would run as a
// formula (= + - @, a tab or CR first) gets a ' in front.
QByteArray CampoSenzaFormula(const QByteArray &campo);
// The record of one visit, in the columns' order.
QByteArray RecordVisita(const RigaVisita &riga);

// The visit record of the program's folder: one row appended as each visit
// ends, written through to the system at once, so that a program closed or
// killed mid-run loses nothing. A new (or empty) file starts with a UTF-8
// byte-order mark and the header row.
class RegistroVisite {
public:
    explicit RegistroVisite(QString path);
    // Raises Exception with the cause when the row cannot be written.
    void Aggiungi(const RigaVisita &riga);
    QString Percorso() const { return file_.fileName(); }

private:
    QFile file_;
    bool nuovo_ = false; // nothing in the file yet: the header goes first
};

// What the run reads of the final answer's header lines (the client keeps
// them): the status of the status line, 0 when no status line came.
int StatoRisposta(const std::vector<std::string> &intestazione);

// The wait a Retry-After header asks for, in milliseconds from now: a number
// of seconds or an HTTP date. None when the header is missing or unreadable;
// 0 for a date already past.
std::optional<qint64> RetryAfterMs(const std::vector<std::string> &intestazione, const QDateTime &adesso);
