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
                           "  --proxy PROXY         usa questo proxy HTTP: HOST, HOST:PORTA o\n"
                           "                        http://HOST:PORTA (\"\" per nessuno)\n"
                           "  --pausa 0|5|10        secondi di pausa prima di ogni accesso\n"
                           "  --senza-timeout       nessun limite di 30 secondi per accesso\n"
                           "  --ferma-dopo N        si ferma dopo N accessi non riusciti\n"
                           "  --riprendi            riprende il multi accesso non completato\n"
                           "                        della lista, dove si era interrotto (se la\n"
                           "                        lista non è cambiata da allora)\n"
                           "  --silenzioso          stampa solo gli accessi non riusciti e il riepilogo\n"
                           "  --json                un oggetto JSON per riga: uno per accesso, uno\n"
                           "                        per il riepilogo\n"
                           "Le altre impostazioni sono quelle salvate nella finestra Opzioni.\n"
                           "Una riga per accesso sullo standard output (ora, indirizzo, n/di, esito,\n"
                           "stato HTTP, byte, millisecondi, motivo); avvisi ed errori sullo standard\n"
                           "error.\n"
                           "\n"
                           "Archivio dei multi accessi:\n"
                           "  --corse [LISTA]       mostra gli ultimi multi accessi dell'archivio,\n"
                           "                        di tutte le liste o di una\n"
                           "\n"
                           "La lista: un file di testo, una voce per riga, \"Sito=INDIRIZZO Num=ACCESSI\"\n"
                           "(indirizzo senza http://, accessi da 0 a 99999), nessuna riga vuota;\n"
                           "Windows-1252 o UTF-8, righe chiuse da CR LF, LF o CR. Vedere man quorvi.\n"
                           "\n"
                           "Stato di uscita:\n"
                           "    0  tutti gli accessi fatti\n"
                           "    1  qualche accesso non riuscito, o voci della lista saltate\n"
                           "    2  uso errato; lista o impostazioni illeggibili o non valide; nessuna\n"
                           "       cartella dei dati (HOME non impostata)\n"
                           "    3  la lista è già in esecuzione\n"
                           "    4  registro, log, archivio o standard output non scritti\n"
                           "    5  fermato da --ferma-dopo\n"
                           "  129  SIGHUP (il terminale si è chiuso)\n"
                           "  130  interrotto da Ctrl+C (SIGINT) o SIGTERM; un secondo segnale chiude\n"
                           "       il programma subito\n"
                           "  141  lo standard output è stato chiuso (| head): stampa e accessi\n"
                           "       fermati, registro e log scritti\n";

} // namespace

std::optional<QString> ProxyDaRigaDiComando(const QString &proxy)
{
    if (proxy.isEmpty())
        return proxy;
    // http_proxy's form: the scheme, and perhaps a closing slash.
    static const QRegularExpression url(QStringLiteral(R"(^http://([^/]*)/?$)"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch u = url.match(proxy);
    const QString hostPorta = u.hasMatch() ? u.captured(1) : proxy;
    // HOST or HOST:PORT, as the options window's proxy field takes it; an
    // IPv6 address in brackets, as in [::1]:8888.
    static const QRegularExpression forma(QStringLiteral(R"(^(\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+)(:(\d{1,5}))?$)"));
    const QRegularExpressionMatch m = forma.match(hostPorta);
    if (!m.hasMatch())
        return std::nullopt;
    if (!m.captured(3).isEmpty() && (m.captured(3).toInt() < 1 || m.captured(3).toInt() > 65535))
        return std::nullopt;
    return hostPorta;
}

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
    const QCommandLineOption silenzioso(QStringLiteral("silenzioso"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption corse(QStringLiteral("corse"));
    parser.addOptions({help, version, esegui, grafica, testo, proxy, pausa, senzaTimeout, fermaDopo, riprendi,
                       silenzioso, json, corse});

    const QString name = arguments.isEmpty() ? QStringLiteral("quorvi") : QFileInfo(arguments.first()).fileName();
    const QString usage =
        QStringLiteral("Uso: %1 [--help | --version]\n"
                       "     %1 --esegui LISTA [--grafica | --testo] [--proxy HOST[:PORTA]]\n"
                       "            [--pausa 0|5|10] [--senza-timeout] [--ferma-dopo N] [--riprendi]\n"
                       "            [--silenzioso | --json]\n"
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
        for (const QCommandLineOption *o :
             {&grafica, &testo, &proxy, &pausa, &senzaTimeout, &fermaDopo, &riprendi, &silenzioso, &json})
            if (wrong.isEmpty() && parser.isSet(*o) && !parser.isSet(esegui))
                wrong = QStringLiteral("--%1 vale solo con --esegui").arg(o->names().first());
        if (wrong.isEmpty() && parser.isSet(esegui)) {
            corsa.lista = parser.value(esegui);
            bool numero = false;
            if (corsa.lista.isEmpty())
                wrong = QStringLiteral("--esegui vuole il nome di una lista");
            else if (parser.isSet(grafica) && parser.isSet(testo))
                wrong = QStringLiteral("--grafica e --testo insieme");
            else if (parser.isSet(proxy) && !ProxyDaRigaDiComando(parser.value(proxy)))
                wrong = QStringLiteral("proxy non valido: %1 (HOST, HOST:PORTA o http://HOST:PORTA, porta da 1 a "
                                       "65535)")
                            .arg(parser.value(proxy));
            else if (parser.isSet(pausa) && !QStringList{"0", "5", "10"}.contains(parser.value(pausa)))
                wrong = QStringLiteral("--pausa vuole 0, 5 o 10 secondi");
            else if (parser.isSet(fermaDopo) && (parser.value(fermaDopo).toInt(&numero) < 1 || !numero))
                wrong = QStringLiteral("--ferma-dopo vuole un numero intero da 1 in su");
            if (parser.isSet(grafica) || parser.isSet(testo))
                corsa.grafica = parser.isSet(grafica);
            if (parser.isSet(proxy))
                corsa.proxy = ProxyDaRigaDiComando(parser.value(proxy)).value_or(QString());
            if (parser.isSet(pausa)) {
                const int secondi = parser.value(pausa).toInt();
                corsa.banda = secondi == 10 ? 0 : secondi == 5 ? 1 : 2;
            }
            corsa.senzaTimeout = parser.isSet(senzaTimeout);
            corsa.fermaDopo = parser.isSet(fermaDopo) ? parser.value(fermaDopo).toInt() : 0;
            corsa.riprendi = parser.isSet(riprendi);
            corsa.silenzioso = parser.isSet(silenzioso);
            corsa.json = parser.isSet(json);
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
