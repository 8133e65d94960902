#pragma once

// A platform for unit tests: every service of src/platform/ in memory, no
// display and no sound server. Tests set what the services answer and read
// what was asked of them.
#include "platform/audio.h"
#include "platform/clipboard.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"

#include <QMap>
#include <QSemaphore>
#include <QSet>
#include <QStringList>
#include <functional>

using namespace Qt::StringLiterals;

namespace fake {

struct Recorder {
    bool prepares = true;         // false: prepare fails (no sound server)
    bool records = true;          // false: record() returns false
    double seconds = 2.0;         // currentTime
    float power = -20.0f;         // averagePower
    QByteArray wav;               // written to the file at stop
    QString failure;              // set: the recording broke off, for this reason
    QSemaphore *answer = nullptr; // set: prepare waits for one of it (a slow sound server)
};

// One X selection: CLIPBOARD or PRIMARY.
struct Selection {
    QList<parlotta::ClipboardFormat> content;
    QStringList calls; // save, setText, wait, clear, restore
    QString saveError; // set: its owner gives nothing, for this reason
};

struct Platform {
    Recorder recorder;
    QString recordedSource; // what the last recorder was asked to record
    QStringList cues;       // played, in order
    Selection clipboard;
    Selection primary;
    parlotta::KeyInjector::Keystroke keystroke = parlotta::KeyInjector::Keystroke::ControlV;
    QString keystrokeError; // set: the keystroke cannot be posted, for this reason
    bool liftsHeldKeys = true;
    int pastes = 0;
    int enters = 0;                               // Enter keystrokes sent
    parlotta::KeyInjector::FocusedWindow focused; // what the desktop tells of it
    std::int64_t swallowedKey = -1;
    std::uint64_t swallowedModifiers = 0;
    QMap<std::int64_t, QString> layout; // key code → the character it types
    QSet<std::int64_t> level3Shifts;    // key codes that are AltGr in the layout
    // Set: the desktop binds the shortcut itself and shows no raw keys; bound
    // says what was asked ("key,modifiers"), shortcut presses and releases it.
    bool shortcutsOnly = false;
    QString bound;
    std::function<void(bool pressed)> shortcut;
};

// The one fake platform of the process.
Platform &platform();
// Makes it fresh, and the process's selected platform; first in every test.
void reset();

} // namespace fake
