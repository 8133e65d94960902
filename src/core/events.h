#pragma once

#include <QObject>

namespace parlotta {

// What a subsystem announces to those above it, which it must not call: the
// libraries depend downwards, and app/wiring.cpp, the one place that sees them
// all, connects each signal to the calls it sets off. Emitted on the main thread.
class DaemonEvents : public QObject {
    Q_OBJECT

  Q_SIGNALS:
    void startRequested();  // SIGUSR1, after its log line
    void stopRequested();   // SIGUSR2, after its log line
    void reloadRequested(); // SIGHUP, after its log line
    // The first step of shutdown, before "Daemon shutting down": handlers must
    // finish their work before they return.
    void shuttingDown();
    void keyListenerActive(); // the key listener runs (it may have waited for the desktop)
    // The desktop bound the hotkey, or would not (another action holds it, the
    // user declined), and why.
    void hotkeyBound();
    void hotkeyRefused(const QString &why);
    void sessionLocked();     // the screen locked, as the direct keyboard listener learns it
    void settingsRequested(); // "Settings…"
    void modelActivated();    // current.bin names another model
    // A recording began or ended, or a transcription was sent or answered.
    void dictationChanged();
    void recentTranscriptsChanged();
    // A transcription failed, or one kept after a failure went through.
    void transcriptionFailureChanged();
    // A preference was set or removed, wherever (the window, the menu, the
    // hotkey capture): the one route by which the tray, the window and the
    // server follow a change. Emitted after the setter returns.
    void preferenceChanged(const QString &key);
};

DaemonEvents &daemonEvents();

} // namespace parlotta
