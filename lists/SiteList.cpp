#include "lists/SiteList.h"

#include "fx/Fx.h"
#include "platform/Exception.h"
#include "platform/Files.h"

#include <climits>

QStringList EnumeraListe()
{
    return ListFiles(CartellaProgramma(), kMascheraListe);
}

QStringList LeggiLista(const QString &item)
{
    return ReadTextLines(CartellaProgramma() + item);
}

bool ListaValida(const QStringList &lines)
{
    for (const QString &line : lines)
        if (!line.startsWith(QLatin1String("Sito=")))
            return false;
    return true;
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

std::optional<int> VolteVoce(const QString &line)
{
    if (!line.startsWith(QLatin1String("Sito=")))
        return std::nullopt;
    const qsizetype sep = line.indexOf(QLatin1String(" Num="));
    if (sep < 0 || line.indexOf(QLatin1String("Num=")) != sep + 1)
        return std::nullopt;
    const QString count = line.mid(sep + 5);
    if (count.isEmpty())
        return std::nullopt;
    // Digits only, any number of leading zeros (the editor keeps them as
    // typed), and a value that fits.
    long long value = 0;
    for (QChar c : count) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > INT_MAX)
            return std::nullopt;
    }
    return static_cast<int>(value);
}

EsitoVoce ControllaVoce(const QString &sito, const QString &volte)
{
    if (sito.contains(QLatin1String("ttp://")))
        return EsitoVoce::PrefissoPresente;
    if (sito.isEmpty())
        return EsitoVoce::IndirizzoMancante;
    if (sito.contains(QLatin1String("Num=")) || sito.contains(u'\r') || sito.contains(u'\n') || sito.contains(QChar(0)))
        return EsitoVoce::IndirizzoNonValido;
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
