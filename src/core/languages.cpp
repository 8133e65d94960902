#include "core/languages.h"

namespace parlotta {

// Names in their own script, precomposed (NFC) UTF-8.
const QList<LanguageEntry> languages = {
    {QStringLiteral("Auto"), QStringLiteral("auto")},
    {QStringLiteral("English"), QStringLiteral("en")},
    {QStringLiteral("Nederlands"), QStringLiteral("nl")},
    {QStringLiteral("Deutsch"), QStringLiteral("de")},
    {QStringLiteral("Français"), QStringLiteral("fr")},
    {QStringLiteral("Español"), QStringLiteral("es")},
    {QStringLiteral("Italiano"), QStringLiteral("it")},
    {QStringLiteral("Português"), QStringLiteral("pt")},
    {QStringLiteral("日本語"), QStringLiteral("ja")},
    {QStringLiteral("中文"), QStringLiteral("zh")},
    {QStringLiteral("한국어"), QStringLiteral("ko")},
    {QStringLiteral("Русский"), QStringLiteral("ru")},
    {QStringLiteral("Polski"), QStringLiteral("pl")},
    {QStringLiteral("Svenska"), QStringLiteral("sv")},
    {QStringLiteral("Dansk"), QStringLiteral("da")},
    {QStringLiteral("Norsk"), QStringLiteral("no")},
    {QStringLiteral("Suomi"), QStringLiteral("fi")},
    {QStringLiteral("Türkçe"), QStringLiteral("tr")},
    {QStringLiteral("العربية"), QStringLiteral("ar")},
    {QStringLiteral("हिन्दी"), QStringLiteral("hi")},
    {QStringLiteral("Українська"), QStringLiteral("uk")},
};

QString languageName(const QString &code)
{
    return languages[languageRow(code)].name; // row 0 is "Auto"
}

int languageRow(const QString &code)
{
    for (int row = 0; row < languages.size(); ++row)
        if (languages[row].code == code)
            return row;
    return 0;
}

QString languageCode(int row)
{
    return row >= 0 && row < languages.size() ? languages[row].code : languages[0].code;
}

bool isAutomaticLanguage(const QString &code)
{
    return code == languages[0].code;
}

} // namespace parlotta
