#include "fx/Fx.h"

#include "platform/Paths.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Shell.h"

void MsgInfo(const QString &text)
{
    MessageBox(text, QStringLiteral("Messaggio."), MB_OK | MB_ICONINFORMATION);
}

void MsgAttenzione(const QString &text)
{
    MessageBox(text, QStringLiteral("Attenzione."), MB_OK | MB_ICONWARNING);
}

void MsgErrore(const QString &text)
{
    MessageBox(text, QStringLiteral("Errore"), MB_OK | MB_ICONERROR);
}

bool MsgRichiesta(const QString &text)
{
    return MessageBox(text, QStringLiteral("Richiesta."), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void InviaMail(const QString &recipient, const QString &subject, const QString &body)
{
    if (!ShellOpen(QStringLiteral("mailto:") + recipient + QStringLiteral("?subject=") + subject +
                   QStringLiteral("&body=") + body))
        MsgErrore(QStringLiteral("Impossibile preparare la mail a ") + recipient +
                  QStringLiteral(": nessun programma di posta disponibile."));
}

void ApriFile(const QString &target)
{
    if (!ShellOpen(target))
        MsgErrore(QStringLiteral("Impossibile aprire \"") + target +
                  QStringLiteral("\": nessun programma disponibile per aprirlo."));
}

QString CartellaProgramma()
{
    return DataFolder();
}
