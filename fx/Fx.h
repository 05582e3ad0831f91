#pragma once

#include <QString>

// The maker's web site and support address (the reserved .example domain).
inline const QString kSitoProduttore = QStringLiteral("www.dudirirada.example");
inline const QString kMailSupporto = QStringLiteral("supporto@dudirirada.example");
// The maker's web site as an address the shell can open.
inline QString IndirizzoSitoProduttore()
{
    return QStringLiteral("http://") + kSitoProduttore;
}

// The four message boxes every window uses; no owner, so the program's windows
// stay usable while one is up.
void MsgInfo(const QString &text);
void MsgAttenzione(const QString &text);
void MsgErrore(const QString &text);
// True when the user answered Yes.
bool MsgRichiesta(const QString &text);

// "mailto:" + recipient + "?subject=" + subject + "&body=" + body, unencoded.
// When the desktop has no program to take it, the error box says so.
void InviaMail(const QString &recipient, const QString &subject, const QString &body);
// A file or web address handed to its default application; the error box
// when there is none.
void ApriFile(const QString &target);
// The folder of the user's lists, settings and logs, with its trailing separator:
// the program's own folder in portable use, else the user's data folder.
QString CartellaProgramma();
