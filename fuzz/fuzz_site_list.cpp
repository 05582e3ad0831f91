#include "FuzzCheck.h"
#include "lists/SiteList.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"

#include <cstddef>
#include <cstdint>

// Input: the bytes of a list file. Whatever follows its first NUL (where the
// file's text ends) is also tried as an address and a count typed into the
// list editor, split at the first byte 0x01.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringList lines = SplitLines(DecodeAnsi(bytes));

    bool allMarked = true;
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n') && !line.contains(QChar(0)));
        allMarked = allMarked && line.startsWith(QLatin1String("Sito="));

        const VoceSito voce = DividiVoce(line);
        FUZZ_CHECK(!voce.sito.contains(QLatin1String(" Num=")));
        const std::optional<int> volte = VolteVoce(line);
        if (volte) {
            // What the run visits is what the line says, piece for piece.
            FUZZ_CHECK(*volte >= 0);
            FUZZ_CHECK(ComponiVoce(voce.sito, voce.volte) == line);
            FUZZ_CHECK(StrToInt(voce.volte) == *volte);
        }
    }
    FUZZ_CHECK(ListaValida(lines) == allMarked);

    // Saving the lines as read and reading them back changes nothing.
    FUZZ_CHECK(SplitLines(DecodeAnsi(EncodeAnsi(JoinLines(lines)))) == lines);

    const qsizetype nul = bytes.indexOf('\0');
    if (nul < 0)
        return 0;
    const QString typed = DecodeAnsi(bytes.mid(nul + 1));
    const qsizetype cut = typed.indexOf(QChar(1));
    const QString sito = cut < 0 ? typed : typed.left(cut);
    const QString volte = cut < 0 ? QString() : typed.mid(cut + 1);
    EsitoVoce esito;
    try {
        esito = ControllaVoce(sito, volte);
    } catch (const EConvertError &) {
        return 0; // a count that is no whole number goes to the general error box
    }
    FUZZ_CHECK(!AvvisoVoce(esito).isEmpty() || esito == EsitoVoce::Ok);
    if (esito != EsitoVoce::Ok)
        return 0;
    // An entry the editor accepts is one the run can visit, unchanged, and a
    // list of it reads back as a valid list.
    const QString line = ComponiVoce(sito, volte);
    const VoceSito voce = DividiVoce(line);
    FUZZ_CHECK(voce.sito == sito && voce.volte == volte);
    // The run refuses only a count past five digits that the editor lets
    // through (loaded from a file and shown whole), and then it says why.
    const std::optional<int> visite = VolteVoce(line);
    FUZZ_CHECK(visite ? *visite >= 1 : volte.size() > 5 && !DifettoVoce(line).isEmpty());
    FUZZ_CHECK(!sito.contains(QLatin1String("ttp://")));
    if (IsAnsiEncodable(line)) {
        const QStringList back = SplitLines(DecodeAnsi(EncodeAnsi(JoinLines({line}))));
        FUZZ_CHECK(back == QStringList{line} && ListaValida(back));
    }
    return 0;
}
