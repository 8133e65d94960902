#pragma once

// What gets typed: the transcript that passed the gates, turned into the text
// and keys delivered to the focused application by the user's rules. Pure:
// the same for every engine and server, decided from its arguments alone.
//
// The order: filler words out, the user's replacements, spoken commands (line
// breaks, and punctuation where turned on), a terminal's line breaks (none
// unless its rule allows them), then the space that separates a dictation
// from the one it continues. A transcript no rule applies to is delivered as
// it came, byte for byte.
#include <QList>
#include <QString>
#include <QStringList>

namespace parlotta {

// "When I say" → "Type": whole words and phrases, matched whatever their case.
struct Replacement {
    QString spoken;
    QString typed;
    bool operator==(const Replacement &) const = default;
};

// The keystroke that pastes; Automatic lets the desktop's window class decide.
enum class PasteKey { Automatic, ControlV, ControlShiftV, ShiftInsert };

// What the user decided for one application, by what the desktop tells of its
// windows: the X11 WM_CLASS class, or the Wayland application id.
struct ApplicationRule {
    QString application;
    PasteKey paste = PasteKey::Automatic;
    bool pressEnter = false;  // Enter after the paste (a chat box sends)
    bool replacements = true; // the replacement list applies
    bool commands = true;     // spoken commands apply
    bool lineBreaks = false;  // in a terminal: dictated line breaks are typed
    bool operator==(const ApplicationRule &) const = default;
};

struct TextSettings {
    QList<Replacement> replacements;
    bool lineCommands = true;       // "new line", "new paragraph"
    bool spokenPunctuation = false; // "comma", "period", … (the engines punctuate by themselves)
    bool removeFillers = true;      // um, uh, …
    QList<ApplicationRule> rules;
};

// Where the text goes.
struct TextTarget {
    QString application; // empty where the desktop does not tell
    bool terminal = false;
    // The dictation continues the one pasted last into the same window: its text.
    bool continues = false;
    QString previous;
};

struct Delivery {
    QString text;
    PasteKey paste = PasteKey::Automatic;
    bool pressEnter = false;
};

// language: the code the user chose ("auto" where the engine detects it).
Delivery processTranscript(const QString &transcript, const QString &language,
                           const TextTarget &target, const TextSettings &settings);

// The rule for an application, if the user made one (names compared whatever their case).
const ApplicationRule *ruleFor(const QList<ApplicationRule> &rules, const QString &application);

// The names, in English, of the languages whose command and filler words are
// known (with Auto: every one's line commands, English punctuation, and the
// fillers no language uses as a word).
QStringList textCommandLanguages();

// Stored forms of the lists (JSON); entries that do not read are left out.
QString storedReplacements(const QList<Replacement> &replacements);
QList<Replacement> readReplacements(const QString &stored);
QString storedRules(const QList<ApplicationRule> &rules);
QList<ApplicationRule> readRules(const QString &stored);

} // namespace parlotta
