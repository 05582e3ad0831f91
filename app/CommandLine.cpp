#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QFileInfo>

#ifndef QUORVI_VERSION_TEXT
#error "QUORVI_VERSION_TEXT comes from the build"
#endif

QString VersionLine()
{
    return QStringLiteral("T4V_Quorvi " QUORVI_VERSION_TEXT);
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
    parser.addOption(help);
    parser.addOption(version);

    const QString name = arguments.isEmpty() ? QStringLiteral("quorvi") : QFileInfo(arguments.first()).fileName();
    const QString usage = QStringLiteral("Uso: %1 [--help | --version]\n").arg(name);
    CommandLineAnswer answer;
    QString wrong;
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        wrong = unknown.isEmpty() ? parser.errorText()
                                  : QStringLiteral("opzione sconosciuta: %1%2")
                                        .arg(unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--"),
                                             unknown.first());
    } else if (!parser.positionalArguments().isEmpty()) {
        wrong = QStringLiteral("argomento non previsto: %1").arg(parser.positionalArguments().first());
    }
    if (!wrong.isEmpty()) {
        answer.err = QStringLiteral("%1: %2\n").arg(name, wrong) + usage;
        answer.exitCode = 2;
    } else if (parser.isSet(help)) {
        answer.out = usage + QStringLiteral("\n"
                                            "Visita più volte gli indirizzi di una lista di siti, con un client HTTP\n"
                                            "proprio (modalità testo) o con un browser integrato (modalità grafica).\n"
                                            "Senza opzioni apre la finestra principale.\n"
                                            "\n"
                                            "  -h, --help     mostra questo aiuto ed esce\n"
                                            "  -v, --version  mostra la versione ed esce\n");
        answer.exitCode = 0;
    } else if (parser.isSet(version)) {
        answer.out = VersionLine() + u'\n';
        answer.exitCode = 0;
    }
    return answer;
}
