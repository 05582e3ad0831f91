#include "lists/SiteList.h"

#include "fx/Fx.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/TextCodec.h"

#include <QRegularExpression>
#include <QStringDecoder>

QStringList EnumeraListe()
{
    return ListFiles(CartellaProgramma(), kMascheraListe);
}

QStringList LeggiLista(const QString &item)
{
    return LeggiFileLista(CartellaProgramma() + item);
}

QStringList LeggiFileLista(const QString &path)
{
    return SplitLines(TestoLista(ReadWholeFile(path)));
}

QString TestoLista(const QByteArray &bytes)
{
    static const QByteArray bom("\xEF\xBB\xBF");
    const QByteArray testo = bytes.startsWith(bom) ? bytes.mid(bom.size()) : bytes;
    bool multiByte = false;
    for (const char c : testo) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            multiByte = true;
            break;
        }
    }
    if (multiByte) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = utf8(testo);
        if (!utf8.hasError())
            return text;
    }
    // Plain ASCII reads the same either way; bytes that are no UTF-8, mark or
    // not, are the code page's (a replacement character would be a letter
    // the log and the editor could not write back).
    return DecodeAnsi(testo);
}

bool ListaValida(const QStringList &lines)
{
    for (const QString &line : lines)
        if (!line.startsWith(QLatin1String("Sito=")))
            return false;
    return true;
}

std::vector<RigaNonValida> RigheNonValide(const QStringList &lines, int massimo, int *tutte)
{
    std::vector<RigaNonValida> righe;
    int n = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines[i];
        if (line.startsWith(QLatin1String("Sito=")))
            continue;
        ++n;
        if (int(righe.size()) >= massimo)
            continue;
        QString motivo;
        if (line.isEmpty())
            motivo = QStringLiteral("riga vuota");
        else if (line.startsWith(QLatin1String("Sito="), Qt::CaseInsensitive))
            motivo = QStringLiteral("\"Sito=\" va scritto con la S maiuscola e il resto minuscolo");
        else if (line.trimmed().startsWith(QLatin1String("Sito=")))
            motivo = QStringLiteral("spazi prima di \"Sito=\"");
        else
            motivo = QStringLiteral("non inizia con \"Sito=\"");
        righe.push_back({int(i + 1), motivo});
    }
    if (tutte)
        *tutte = n;
    return righe;
}

QString NomeLista(const QString &item)
{
    return item.left(qMax<qsizetype>(0, item.size() - 4));
}

QString AvvisoListaNonValida(const QString &name)
{
    return QStringLiteral("La lista ") + name + QStringLiteral(" non è stata riconosciuta valida.");
}

void ScriviLista(const QString &name, const QStringList &items)
{
    // A separator would put the file into another folder, where the list of
    // lists never finds it: the save would look done and the list be lost.
    if (name.contains(u'/') || name.contains(u'\\'))
        throw EFileError(QStringLiteral("Nome di lista non valido: \"%1\"").arg(name));
    WriteTextLines(CartellaProgramma() + name + QStringLiteral(".tvx"), items);
}

bool EliminaLista(const QString &item)
{
    return DeleteFile(CartellaProgramma() + item);
}

VoceSito DividiVoce(const QString &line)
{
    VoceSito voce;
    const QString rest = line.startsWith(QLatin1String("Sito=")) ? line.mid(5) : line;
    const qsizetype sep = rest.indexOf(QLatin1String(" Num="));
    voce.sito = sep < 0 ? rest : rest.left(sep);
    const qsizetype num = line.indexOf(QLatin1String("Num="));
    voce.volte = num < 0 ? QString() : line.mid(num + 4);
    return voce;
}

namespace {
// An IPv6 address must stand in brackets, or its colons are taken for the
// port's: the request would go to a host that does not exist.
bool IPv6SenzaParentesi(QString host)
{
    if (host.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        host = host.mid(8);
    host = host.left(host.indexOf(QRegularExpression(QStringLiteral("[/?#]"))));
    host = host.mid(host.lastIndexOf(u'@') + 1);
    return host.count(u':') >= 2 && !host.startsWith(u'[');
}

// An entry's count, or why it has none.
std::optional<int> EsaminaVoce(const QString &line, QString *motivo)
{
    const auto no = [motivo](const QString &perche) -> std::optional<int> {
        if (motivo)
            *motivo = perche;
        return std::nullopt;
    };
    if (!line.startsWith(QLatin1String("Sito=")))
        return no(QStringLiteral("non inizia con \"Sito=\""));
    const qsizetype sep = line.indexOf(QLatin1String(" Num="));
    if (sep < 0)
        return no(QStringLiteral("manca \" Num=\" con il numero di accessi"));
    if (line.indexOf(QLatin1String("Num=")) != sep + 1)
        return no(QStringLiteral("l'indirizzo contiene \"Num=\""));
    const QString count = line.mid(sep + 5);
    if (count.isEmpty())
        return no(QStringLiteral("numero di accessi mancante"));
    // Digits only, any number of leading zeros (the editor keeps them as
    // typed), and no more than the editor takes.
    long long value = 0;
    for (QChar c : count) {
        if (c < u'0' || c > u'9')
            return no(QStringLiteral("numero di accessi non valido: \"%1\"").arg(count.left(20)));
        value = value * 10 + (c.unicode() - u'0');
        if (value > kVolteMassime)
            return no(QStringLiteral("numero di accessi oltre %1").arg(kVolteMassime));
    }
    if (IPv6SenzaParentesi(line.mid(5, sep - 5)))
        return no(QStringLiteral("indirizzo IPv6 senza parentesi quadre (si scrive [::1]:8080/pagina)"));
    return static_cast<int>(value);
}
} // namespace

std::optional<int> VolteVoce(const QString &line)
{
    return EsaminaVoce(line, nullptr);
}

QString DifettoVoce(const QString &line)
{
    QString motivo;
    EsaminaVoce(line, &motivo);
    return motivo;
}

EsitoVoce ControllaVoce(const QString &sito, const QString &volte)
{
    if (sito.contains(QLatin1String("ttp://")))
        return EsitoVoce::PrefissoPresente;
    if (sito.isEmpty())
        return EsitoVoce::IndirizzoMancante;
    if (sito.contains(QLatin1String("Num=")) || sito.contains(u'\r') || sito.contains(u'\n') || sito.contains(QChar(0)))
        return EsitoVoce::IndirizzoNonValido;
    // Saved, it would be skipped by every run.
    if (IPv6SenzaParentesi(sito))
        return EsitoVoce::IPv6SenzaParentesi;
    if (volte.isEmpty() || StrToInt(volte) < 1)
        return EsitoVoce::NumeroNonValido;
    // The conversion also takes a sign or leading blanks (a pasted " 5"), but
    // the run visits only counts written in digits: such an entry would be
    // saved and then never visited.
    for (QChar c : volte)
        if (c < u'0' || c > u'9')
            return EsitoVoce::NumeroNonValido;
    return EsitoVoce::Ok;
}

QString ComponiVoce(const QString &sito, const QString &volte)
{
    return QStringLiteral("Sito=") + sito + QStringLiteral(" Num=") + volte;
}

QString AvvisoVoce(EsitoVoce esito)
{
    switch (esito) {
    case EsitoVoce::PrefissoPresente:
        return QStringLiteral(
            "Impossibile aggiungere il sito alla lista, il prefisso \"http://\" non deve essere presente!");
    case EsitoVoce::IndirizzoMancante:
        return QStringLiteral("Impossibile aggiungere il sito alla lista, indirizzo url non presente.");
    case EsitoVoce::IndirizzoNonValido:
        return QStringLiteral("Impossibile aggiungere il sito alla lista, indirizzo url non valido: non deve contenere "
                              "\"Num=\" né ritorni a capo.");
    case EsitoVoce::IPv6SenzaParentesi:
        return QStringLiteral("Impossibile aggiungere il sito alla lista, indirizzo IPv6 senza parentesi quadre: si "
                              "scrive [::1]:8080/pagina.");
    case EsitoVoce::NumeroNonValido:
        return QStringLiteral("Impossibile aggiungere il sito alla lista, numero di accessi inserito non valido.");
    case EsitoVoce::Ok:
        break;
    }
    return {};
}

bool SoloNumeri(QChar key)
{
    return (key >= u'0' && key <= u'9') || key == QChar(8) || key == QChar(13) || key == u',';
}

QString IndirizzoVisita(const QString &sito)
{
    if (sito.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive))
        return sito;
    return QStringLiteral("http://") + sito;
}
