#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// A run without a window, as the command line asks for it. What is not given
// comes from the saved settings.
struct OpzioniEsecuzione {
    QString lista;               // a list's name in the data folder, or a path
    std::optional<bool> grafica; // --grafica / --testo
    std::optional<QString> proxy;
    std::optional<int> banda; // the settings' bandwidth position
    bool senzaTimeout = false;
    int fermaDopo = 0; // failures that end the run; 0: never
    bool riprendi = false;
    bool silenzioso = false; // only failed visits and the summary
    bool json = false;       // one JSON object a visit, one for the summary
};

// What the terminal gets before any window opens. Without options the
// program opens its windows; its configuration is the options window.
struct CommandLineAnswer {
    std::optional<int> exitCode;             // set when the program ends without its windows
    QString out;                             // for standard output
    QString err;                             // for standard error
    std::optional<OpzioniEsecuzione> esegui; // set for a run without a window
    std::optional<QString> corse;            // --corse: the list, or empty for every list
};

// arguments as the process got them, the program's own name first.
CommandLineAnswer AnswerCommandLine(const QStringList &arguments);

// A proxy as the command line takes it, HOST, HOST:PORT or http://HOST:PORT
// (the form of http_proxy), turned into the options window's HOST[:PORT];
// none when it is no such proxy.
std::optional<QString> ProxyDaRigaDiComando(const QString &proxy);

// "T4V_Quorvi 04.2003-10": the identity the about window shows.
QString VersionLine();
