#pragma once

#include <QList>
#include <QString>

namespace parlotta {

// A language the user can choose: its own name for itself, and the code that
// is stored under "language" and sent to the speech server.
struct LanguageEntry {
    QString name;
    QString code;
};

// The fixed, ordered table of the menu and the settings popup; row 0 is
// automatic detection ("auto").
extern const QList<LanguageEntry> languages;

// The name of the first row with that code, or "Auto" when no row has it.
QString languageName(const QString &code);
// The first row with that code, or 0 when no row has it.
int languageRow(const QString &code);
// The code of a row; the "auto" code for a row outside the table.
QString languageCode(int row);
// Whether the code asks the server to detect the language itself, so the
// request leaves the language out.
bool isAutomaticLanguage(const QString &code);

} // namespace parlotta
