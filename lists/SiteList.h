#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// A site list is one "<name>.tvx" file in the program's folder, one entry a line:
// "Sito=" + address (without "http://") + " Num=" + count.

// What an empty list box shows; never written to a file.
inline const QString kVuota = QStringLiteral("Vuota...");
inline const QString kMascheraListe = QStringLiteral("*.tvx");

// The list files of the program's folder, with extension, sorted without regard to case.
QStringList EnumeraListe();

// The lines of program folder + item. Raises EFileError when the file cannot be read.
QStringList LeggiLista(const QString &item);
// The lines of a list file anywhere, read as LeggiLista reads them.
QStringList LeggiFileLista(const QString &path);
// A list file's text: UTF-8 when it begins with the UTF-8 byte-order mark (which
// is dropped) or is valid UTF-8 holding a multi-byte sequence, as lists written
// by hand or by a script are; else the code page the editor writes.
QString TestoLista(const QByteArray &bytes);

// Valid when every line starts with "Sito=" (case-sensitive); no lines is valid.
bool ListaValida(const QStringList &lines);

// A line that makes a list not valid: its number (from 1) and why.
struct RigaNonValida {
    int numero = 0;
    QString motivo;
};
// The first `massimo` lines that make the list not valid, in order; `tutte`
// gets how many there are in all.
std::vector<RigaNonValida> RigheNonValide(const QStringList &lines, int massimo, int *tutte = nullptr);

// The list name as the user sees it: the file name less its last four characters.
QString NomeLista(const QString &item);

// "La lista <name> non è stata riconosciuta valida."
QString AvvisoListaNonValida(const QString &name);

// Writes program folder + name + ".tvx", creating or replacing it. Raises EFileError,
// also for a name holding a path separator.
void ScriviLista(const QString &name, const QStringList &items);

// Deletes program folder + item; false when the file system refused.
bool EliminaLista(const QString &item);

// An entry line split back: the address after "Sito=" up to the first " Num=",
// the count after the first "Num=" to the end of the line. A line without
// " Num=" gives the whole rest as the address and an empty count.
struct VoceSito {
    QString sito;
    QString volte;
};
VoceSito DividiVoce(const QString &line);

// The largest count the list editor takes (five digits).
inline constexpr int kVolteMassime = 99999;

// The count of an entry the run can use: the line is of the editor's form
// ("Sito=", an address without "Num=", " Num=", a whole number from 0 to
// kVolteMassime) and its host can be reached as written. Anything else gives
// no value, and the run skips that entry.
std::optional<int> VolteVoce(const QString &line);
// Why VolteVoce gives no value for a line; empty when it gives one.
QString DifettoVoce(const QString &line);

// The checks of an addition, in their order; Ok when the entry may be added.
// IndirizzoNonValido: an address that could not be read back as it was written
// (a "Num=" inside it would be taken for the count, a line break would split the
// line, a NUL would end the file). IPv6SenzaParentesi: an IPv6 address not in
// brackets, whose colons the run would take for the port's.
enum class EsitoVoce {
    Ok,
    PrefissoPresente,
    IndirizzoMancante,
    IndirizzoNonValido,
    IPv6SenzaParentesi,
    NumeroNonValido
};

// Checks address and count and composes "Sito=" + sito + " Num=" + volte.
// A count that is not a whole number (a comma in it, say) raises EConvertError,
// which the caller leaves to the general error box.
EsitoVoce ControllaVoce(const QString &sito, const QString &volte);
QString ComponiVoce(const QString &sito, const QString &volte);
// The warning text of a refused addition.
QString AvvisoVoce(EsitoVoce esito);

// The count field's key filter: digits, Backspace, Enter and the comma pass.
bool SoloNumeri(QChar key);

// The address a visit goes to: an entry that begins with "https://" (in any
// case) is visited as it was written; every other gets "http://" in front,
// as entries always have.
QString IndirizzoVisita(const QString &sito);
