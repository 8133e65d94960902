#include "dictation/text_pipeline.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>

namespace parlotta {

namespace {

// A spoken command: its words, and what it types.
struct Command {
    const char *phrase;
    const char *typed;
};

struct LanguageWords {
    const char *code;
    const char *name; // in English, as the settings window names them
    QList<Command> lineCommands;
    QList<Command> punctuation;
    QStringList fillers;
};

// Only words that are commands when said alone, never common in a sentence
// ("a capo" is "at the head of" as often as "new line", and is left out).
const QList<LanguageWords> &languageWords()
{
    static const QList<LanguageWords> words = {
        {"en",
         "English",
         {{"new line", "\n"}, {"new paragraph", "\n\n"}},
         {{"comma", ","},
          {"period", "."},
          {"full stop", "."},
          {"question mark", "?"},
          {"exclamation mark", "!"},
          {"exclamation point", "!"},
          {"colon", ":"},
          {"semicolon", ";"}},
         {"um", "umm", "uh", "uhh", "uhm", "erm", "er", "ah", "hmm", "hm", "mm", "mmm"}},
        {"de",
         "German",
         {{"neue Zeile", "\n"}, {"neuer Absatz", "\n\n"}},
         {{"Komma", ","},
          {"Punkt", "."},
          {"Fragezeichen", "?"},
          {"Ausrufezeichen", "!"},
          {"Doppelpunkt", ":"},
          {"Semikolon", ";"}},
         {"äh", "ähm", "öh", "öhm", "hm", "hmm"}},
        {"fr",
         "French",
         {{"nouvelle ligne", "\n"}, {"nouveau paragraphe", "\n\n"}},
         {{"virgule", ","},
          {"point", "."},
          {"point d'interrogation", "?"},
          {"point d'exclamation", "!"},
          {"deux-points", ":"},
          {"point-virgule", ";"}},
         {"euh", "heu", "hum"}},
        {"es",
         "Spanish",
         {{"nueva línea", "\n"}, {"nuevo párrafo", "\n\n"}},
         {{"coma", ","},
          {"punto", "."},
          {"signo de interrogación", "?"},
          {"signo de exclamación", "!"},
          {"dos puntos", ":"},
          {"punto y coma", ";"}},
         {"eh", "ehm", "em", "mmm"}},
        {"it",
         "Italian",
         {{"nuova riga", "\n"}, {"nuovo paragrafo", "\n\n"}},
         {{"virgola", ","},
          {"punto", "."},
          {"punto interrogativo", "?"},
          {"punto esclamativo", "!"},
          {"due punti", ":"},
          {"punto e virgola", ";"}},
         {"ehm", "eh", "uhm", "mmm"}},
        {"pt",
         "Portuguese",
         {{"nova linha", "\n"}, {"novo parágrafo", "\n\n"}},
         {{"vírgula", ","},
          {"ponto final", "."},
          {"ponto", "."},
          {"ponto de interrogação", "?"},
          {"ponto de exclamação", "!"},
          {"dois pontos", ":"},
          {"ponto e vírgula", ";"}},
         {"hum", "ahn", "hã"}},
        {"nl",
         "Dutch",
         {{"nieuwe regel", "\n"}, {"nieuwe alinea", "\n\n"}},
         {{"komma", ","},
          {"punt", "."},
          {"vraagteken", "?"},
          {"uitroepteken", "!"},
          {"dubbele punt", ":"},
          {"puntkomma", ";"}},
         {"eh", "ehm", "uh", "uhm", "hm"}},
    };
    return words;
}

// Fillers no language of the table uses as a word: for a language the engine detects.
const QStringList anyLanguageFillers = {"um", "umm", "uh",  "uhh", "uhm", "erm", "hmm",
                                        "äh", "ähm", "öhm", "euh", "ehm", "mmm"};

const LanguageWords *wordsOf(const QString &language)
{
    for (const LanguageWords &words : languageWords())
        if (language.compare(QLatin1String(words.code), Qt::CaseInsensitive) == 0)
            return &words;
    return nullptr;
}

constexpr auto matchOptions =
    QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption;
const QString notInWordBefore = QStringLiteral("(?<![\\p{L}\\p{N}'’-])");
const QString notInWordAfter = QStringLiteral("(?![\\p{L}\\p{N}'’-])");

// A phrase's words, whatever the spaces between them; never inside a word.
QString phrasePattern(const QString &phrase)
{
    QStringList words;
    for (const QString &word : phrase.split(u' ', Qt::SkipEmptyParts))
        words.append(QRegularExpression::escape(word));
    return notInWordBefore + words.join(QStringLiteral("\\s+")) + notInWordAfter;
}

// Longest first, so that "punto y coma" wins over "punto" and "coma".
QString alternation(QStringList patterns)
{
    std::sort(patterns.begin(), patterns.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    return QStringLiteral("(?:") + patterns.join(u'|') + u')';
}

QString normalized(const QString &phrase)
{
    return phrase.simplified().toCaseFolded();
}

// At the start, after a sentence's end or in a new paragraph: where a capital
// goes (a line break alone may be a list's, or a terminal's).
bool endsSentence(QString text)
{
    const auto chopSpaces = [&text] {
        while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t'))
            text.chop(1);
    };
    chopSpaces();
    if (text.endsWith(QStringLiteral("\n\n")))
        return true;
    while (text.endsWith(u'\n'))
        text.chop(1);
    chopSpaces();
    return text.isEmpty() || QStringLiteral(".!?").contains(text.back());
}

QString capitalized(QString text)
{
    for (QChar &c : text)
        if (c.isLetter()) {
            c = c.toUpper();
            break;
        } else if (!c.isSpace()) {
            break;
        }
    return text;
}

// Spaces the removals and commands left where they do not belong: twice in a
// row, before punctuation, around a line break, at either end.
QString tidied(QString text)
{
    static const QRegularExpression doubled(QStringLiteral("[ \\t]{2,}"));
    static const QRegularExpression beforeMark(QStringLiteral("[ \\t]+([,.!?;:])"));
    static const QRegularExpression aroundBreak(QStringLiteral("[ \\t]*\\n[ \\t]*"));
    text.replace(doubled, QStringLiteral(" "));
    text.replace(beforeMark, QStringLiteral("\\1"));
    text.replace(aroundBreak, QStringLiteral("\n"));
    // Line breaks are the user's to keep at the ends; spaces are not.
    while (!text.isEmpty() && (text.front() == u' ' || text.front() == u'\t'))
        text.remove(0, 1);
    while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t'))
        text.chop(1);
    return text;
}

QString withoutFillers(const QString &text, const QStringList &fillers, bool *changed)
{
    QStringList patterns;
    for (const QString &filler : fillers)
        patterns.append(QRegularExpression::escape(filler));
    // The filler, and the comma or ellipsis the engine set after it.
    const QRegularExpression filler(notInWordBefore + alternation(patterns) + notInWordAfter +
                                        QStringLiteral("(?:,|…|\\.\\.\\.)?[ \\t]*"),
                                    matchOptions);
    QString out;
    qsizetype last = 0;
    bool capitalizeNext = false;
    for (auto it = filler.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QString before = text.mid(last, match.capturedStart() - last);
        out += capitalizeNext ? capitalized(before) : before;
        capitalizeNext = (capitalizeNext && before.trimmed().isEmpty()) ||
                         (match.captured().front().isUpper() && endsSentence(out));
        last = match.capturedEnd();
        *changed = true;
    }
    const QString rest = text.mid(last);
    return out + (capitalizeNext ? capitalized(rest) : rest);
}

QString withReplacements(const QString &text, const QList<Replacement> &replacements, bool *changed)
{
    QHash<QString, QString> typed;
    QStringList patterns;
    for (const Replacement &replacement : replacements) {
        const QString key = normalized(replacement.spoken);
        if (key.isEmpty() || typed.contains(key))
            continue;
        typed.insert(key, replacement.typed);
        patterns.append(phrasePattern(replacement.spoken));
    }
    if (patterns.isEmpty())
        return text;
    // One pass: a replacement's text is never replaced again.
    const QRegularExpression phrase(alternation(patterns), matchOptions);
    QString out;
    qsizetype last = 0;
    for (auto it = phrase.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += text.mid(last, match.capturedStart() - last);
        out += typed.value(normalized(match.captured()));
        last = match.capturedEnd();
        *changed = true;
    }
    return out + text.mid(last);
}

QString withCommands(const QString &text, const QList<Command> &commands, bool *changed)
{
    QHash<QString, QString> typed;
    QStringList patterns;
    for (const Command &command : commands) {
        typed.insert(normalized(QString::fromUtf8(command.phrase)),
                     QString::fromUtf8(command.typed));
        patterns.append(phrasePattern(QString::fromUtf8(command.phrase)));
    }
    if (patterns.isEmpty())
        return text;
    // The command, with the punctuation the engine wrote around it ("Hello.
    // New line. World."): the command says what comes there.
    const QRegularExpression command(
        QStringLiteral("(") + alternation(patterns) + QStringLiteral(")[,.!?;:…]*"), matchOptions);
    QString out;
    qsizetype last = 0;
    bool capitalizeNext = false;
    for (auto it = command.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QString before = text.mid(last, match.capturedStart() - last);
        const QString mark = typed.value(normalized(match.captured(1)));
        if (capitalizeNext)
            before = capitalized(before);
        if (mark.startsWith(u'\n')) {
            // A break replaces the engine's comma before it, not its full stop.
            while (before.endsWith(u' ') || before.endsWith(u','))
                before.chop(1);
            out += before + mark;
        } else {
            while (before.endsWith(u' ') ||
                   (!before.isEmpty() && QStringLiteral(",.!?;:").contains(before.back())))
                before.chop(1);
            out += before + mark + u' ';
        }
        capitalizeNext = endsSentence(out);
        last = match.capturedEnd();
        *changed = true;
    }
    const QString rest = text.mid(last);
    return out + (capitalizeNext ? capitalized(rest) : rest);
}

} // namespace

const ApplicationRule *ruleFor(const QList<ApplicationRule> &rules, const QString &application)
{
    if (application.isEmpty())
        return nullptr;
    for (const ApplicationRule &rule : rules)
        if (rule.application.compare(application, Qt::CaseInsensitive) == 0)
            return &rule;
    return nullptr;
}

QStringList textCommandLanguages()
{
    QStringList codes;
    for (const LanguageWords &words : languageWords())
        codes.append(QString::fromLatin1(words.name));
    return codes;
}

Delivery processTranscript(const QString &transcript, const QString &language,
                           const TextTarget &target, const TextSettings &settings)
{
    const ApplicationRule *rule = ruleFor(settings.rules, target.application);
    Delivery delivery;
    if (rule) {
        delivery.paste = rule->paste;
        delivery.pressEnter = rule->pressEnter;
    }
    const LanguageWords *words = wordsOf(language);
    const LanguageWords &english = *wordsOf(QStringLiteral("en"));
    QString text = transcript;
    bool changed = false;

    if (settings.removeFillers)
        text = withoutFillers(text, words ? words->fillers : anyLanguageFillers, &changed);
    if (!rule || rule->replacements)
        text = withReplacements(text, settings.replacements, &changed);
    if (!rule || rule->commands) {
        QList<Command> commands;
        // A language the engine detects: every language's line commands (no
        // sentence says "neuer Absatz" by chance), English's punctuation
        // ("coma" is a word in English, "punto" in two languages).
        if (settings.lineCommands) {
            if (words) {
                commands += words->lineCommands;
            } else {
                for (const LanguageWords &each : languageWords())
                    commands += each.lineCommands;
            }
        }
        if (settings.spokenPunctuation)
            commands += words ? words->punctuation : english.punctuation;
        text = withCommands(text, commands, &changed);
    }
    // A line break typed into a terminal runs what is on its line.
    if (target.terminal && !(rule && rule->lineBreaks) && text.contains(u'\n')) {
        text.replace(u'\n', u' ');
        changed = true;
    }
    if (changed) {
        text = tidied(text);
        // Nothing said but fillers and commands: nothing to type.
        if (std::none_of(text.cbegin(), text.cend(),
                         [](QChar c) { return c.isLetterOrNumber() || c == u'\n'; }))
            text.clear();
    }
    // Glued to the last dictation otherwise ("…today.Let's meet").
    if (target.continues && !text.isEmpty() && !target.previous.isEmpty() &&
        !target.previous.back().isSpace() && !text.front().isSpace() &&
        !QStringLiteral(",.!?;:").contains(text.front()))
        text.prepend(u' ');
    delivery.text = text;
    return delivery;
}

namespace {

const QList<std::pair<PasteKey, QString>> pasteKeyNames = {
    {PasteKey::Automatic, QStringLiteral("automatic")},
    {PasteKey::ControlV, QStringLiteral("ctrl+v")},
    {PasteKey::ControlShiftV, QStringLiteral("ctrl+shift+v")},
    {PasteKey::ShiftInsert, QStringLiteral("shift+insert")},
};

QJsonArray storedArray(const QString &stored)
{
    return QJsonDocument::fromJson(stored.toUtf8()).array(); // empty unless an array
}

} // namespace

QString storedReplacements(const QList<Replacement> &replacements)
{
    QJsonArray array;
    for (const Replacement &replacement : replacements)
        array.append(QJsonArray{replacement.spoken, replacement.typed});
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QList<Replacement> readReplacements(const QString &stored)
{
    QList<Replacement> replacements;
    for (const QJsonValue &entry : storedArray(stored)) {
        const QJsonArray pair = entry.toArray();
        if (pair.size() == 2 && pair[0].isString() && pair[1].isString() &&
            !pair[0].toString().trimmed().isEmpty())
            replacements.append({pair[0].toString(), pair[1].toString()});
    }
    return replacements;
}

QString storedRules(const QList<ApplicationRule> &rules)
{
    QJsonArray array;
    for (const ApplicationRule &rule : rules) {
        QString paste;
        for (const auto &[key, name] : pasteKeyNames)
            if (key == rule.paste)
                paste = name;
        array.append(QJsonObject{{"application", rule.application},
                                 {"paste", paste},
                                 {"enter", rule.pressEnter},
                                 {"replacements", rule.replacements},
                                 {"commands", rule.commands},
                                 {"line-breaks", rule.lineBreaks}});
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QList<ApplicationRule> readRules(const QString &stored)
{
    QList<ApplicationRule> rules;
    for (const QJsonValue &entry : storedArray(stored)) {
        const QJsonObject object = entry.toObject();
        ApplicationRule rule;
        rule.application = object.value(QStringLiteral("application")).toString().trimmed();
        if (rule.application.isEmpty() || ruleFor(rules, rule.application))
            continue;
        const QString paste = object.value(QStringLiteral("paste")).toString();
        for (const auto &[key, name] : pasteKeyNames)
            if (name == paste)
                rule.paste = key;
        rule.pressEnter = object.value(QStringLiteral("enter")).toBool(false);
        rule.replacements = object.value(QStringLiteral("replacements")).toBool(true);
        rule.commands = object.value(QStringLiteral("commands")).toBool(true);
        rule.lineBreaks = object.value(QStringLiteral("line-breaks")).toBool(false);
        rules.append(rule);
    }
    return rules;
}

} // namespace parlotta
