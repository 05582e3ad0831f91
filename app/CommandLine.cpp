#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef QUORVI_VERSION_TEXT
#error "QUORVI_VERSION_TEXT comes from the build"
#endif

QString VersionLine()
{
    return QStringLiteral("T4V_Quorvi " QUORVI_VERSION_TEXT);
}

namespace {
const char *const kAiuto = "\n"
                           "Visita più volte gli indirizzi di una lista di siti, con un client HTTP\n"
                           "proprio (modalità testo) o con un browser integrato (modalità grafica).\n"
                           "Senza opzioni apre la finestra principale.\n"
                           "\n"
                           "  -h, --help            mostra questo aiuto ed esce\n"
                           "  -v, --version         mostra la versione ed esce\n"
                           "\n"
                           "Esecuzione senza finestra (non serve uno schermo):\n"
                           "  --esegui LISTA        esegue la lista: il nome di un file .tvx della\n"
                           "                        cartella dei dati, o un percorso\n"
                           "  --grafica             accede in modalità grafica\n"
                           "  --testo               accede in modalità testo\n"
                           "  --proxy HOST[:PORTA]  usa questo proxy HTTP (\"\" per nessuno)\n"
                           "  --pausa 0|5|10        secondi di pausa prima di ogni accesso\n"
                           "  --senza-timeout       nessun limite di 30 secondi per accesso\n"
                           "  --ferma-dopo N        si ferma dopo N accessi non riusciti\n"
                           "  --riprendi            riprende il multi accesso non completato\n"
                           "                        della lista, dove si era interrotto (se la\n"
                           "                        lista non è cambiata da allora)\n"
                           "Le altre impostazioni sono quelle salvate nella finestra Opzioni.\n"
                           "\n"
                           "\n"
                           "  --corse [LISTA]       mostra gli ultimi multi accessi dell'archivio,\n"
                           "                        di tutte le liste o di una\n"
                           "\n"
                           "Stato di uscita: 0 tutti gli accessi fatti, 1 qualche accesso non\n"
                           "riuscito, 2 uso errato, lista o impostazioni illeggibili, 3 lista già\n"
                           "in esecuzione, 4 registro, log o archivio non scritti, 5 fermato da\n"
                           "--ferma-dopo, 129 SIGHUP, 130 interrotto (Ctrl+C o SIGTERM).\n";

// HOST or HOST:PORT, as the options window's proxy field takes it; an IPv6
// address in brackets, as in [::1]:8888.
bool ProxyValido(const QString &proxy)
{
    static const QRegularExpression forma(QStringLiteral(R"(^(\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+)(:(\d{1,5}))?$)"));
    const QRegularExpressionMatch m = forma.match(proxy);
    return proxy.isEmpty() || (m.hasMatch() && (m.captured(3).isEmpty() || m.captured(3).toInt() <= 65535));
}
} // namespace

CommandLineAnswer AnswerCommandLine(const QStringList &arguments)
{
    // Parsed before the application object exists: answering needs no display
    // and starts no browser engine.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Mostra questo aiuto ed esce."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Mostra la versione ed esce."));
    const QCommandLineOption esegui(QStringLiteral("esegui"), QString(), QStringLiteral("LISTA"));
    const QCommandLineOption grafica(QStringLiteral("grafica"));
    const QCommandLineOption testo(QStringLiteral("testo"));
    const QCommandLineOption proxy(QStringLiteral("proxy"), QString(), QStringLiteral("HOST[:PORTA]"));
    const QCommandLineOption pausa(QStringLiteral("pausa"), QString(), QStringLiteral("SECONDI"));
    const QCommandLineOption senzaTimeout(QStringLiteral("senza-timeout"));
    const QCommandLineOption fermaDopo(QStringLiteral("ferma-dopo"), QString(), QStringLiteral("N"));
    const QCommandLineOption riprendi(QStringLiteral("riprendi"));
    const QCommandLineOption corse(QStringLiteral("corse"));
    parser.addOptions({help, version, esegui, grafica, testo, proxy, pausa, senzaTimeout, fermaDopo, riprendi, corse});

    const QString name = arguments.isEmpty() ? QStringLiteral("quorvi") : QFileInfo(arguments.first()).fileName();
    const QString usage =
        QStringLiteral("Uso: %1 [--help | --version]\n"
                       "     %1 --esegui LISTA [--grafica | --testo] [--proxy HOST[:PORTA]]\n"
                       "            [--pausa 0|5|10] [--senza-timeout] [--ferma-dopo N] [--riprendi]\n"
                       "     %1 --corse [LISTA]\n")
            .arg(name);
    CommandLineAnswer answer;
    QString wrong;
    OpzioniEsecuzione corsa;
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        wrong = unknown.isEmpty() ? parser.errorText()
                                  : QStringLiteral("opzione sconosciuta: %1%2")
                                        .arg(unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--"),
                                             unknown.first());
    } else if (parser.positionalArguments().size() > (parser.isSet(corse) ? 1 : 0)) {
        wrong = QStringLiteral("argomento non previsto: %1").arg(parser.positionalArguments().last());
    } else if (parser.isSet(corse) && parser.isSet(esegui)) {
        wrong = QStringLiteral("--corse e --esegui insieme");
    } else if (!parser.isSet(help) && !parser.isSet(version)) {
        // The run's options mean nothing to the windows, which take theirs
        // from the options window.
        for (const QCommandLineOption *o : {&grafica, &testo, &proxy, &pausa, &senzaTimeout, &fermaDopo, &riprendi})
            if (wrong.isEmpty() && parser.isSet(*o) && !parser.isSet(esegui))
                wrong = QStringLiteral("--%1 vale solo con --esegui").arg(o->names().first());
        if (wrong.isEmpty() && parser.isSet(esegui)) {
            corsa.lista = parser.value(esegui);
            bool numero = false;
            if (corsa.lista.isEmpty())
                wrong = QStringLiteral("--esegui vuole il nome di una lista");
            else if (parser.isSet(grafica) && parser.isSet(testo))
                wrong = QStringLiteral("--grafica e --testo insieme");
            else if (parser.isSet(proxy) && !ProxyValido(parser.value(proxy)))
                wrong = QStringLiteral("proxy non valido: %1").arg(parser.value(proxy));
            else if (parser.isSet(pausa) && !QStringList{"0", "5", "10"}.contains(parser.value(pausa)))
                wrong = QStringLiteral("--pausa vuole 0, 5 o 10 secondi");
            else if (parser.isSet(fermaDopo) && (parser.value(fermaDopo).toInt(&numero) < 1 || !numero))
                wrong = QStringLiteral("--ferma-dopo vuole un numero intero da 1 in su");
            if (parser.isSet(grafica) || parser.isSet(testo))
                corsa.grafica = parser.isSet(grafica);
            if (parser.isSet(proxy))
                corsa.proxy = parser.value(proxy);
            if (parser.isSet(pausa)) {
                const int secondi = parser.value(pausa).toInt();
                corsa.banda = secondi == 10 ? 0 : secondi == 5 ? 1 : 2;
            }
            corsa.senzaTimeout = parser.isSet(senzaTimeout);
            corsa.fermaDopo = parser.isSet(fermaDopo) ? parser.value(fermaDopo).toInt() : 0;
            corsa.riprendi = parser.isSet(riprendi);
        }
    }
    if (!wrong.isEmpty()) {
        answer.err = QStringLiteral("%1: %2\n").arg(name, wrong) + usage;
        answer.exitCode = 2;
    } else if (parser.isSet(help)) {
        answer.out = usage + QString::fromUtf8(kAiuto);
        answer.exitCode = 0;
    } else if (parser.isSet(version)) {
        answer.out = VersionLine() + u'\n';
        answer.exitCode = 0;
    } else if (parser.isSet(esegui)) {
        answer.esegui = corsa;
    } else if (parser.isSet(corse)) {
        answer.corse = parser.positionalArguments().value(0);
    }
    return answer;
}
