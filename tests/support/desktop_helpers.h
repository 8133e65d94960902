#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>

using namespace Qt::StringLiterals;

// The test whisper-server on 127.0.0.1:8178, with scripted answers.
class FakeServer {
  public:
    FakeServer();
    ~FakeServer();
    bool start();
    void stop();
    // Queues an answer; answers are used once each, in the order queued.
    void addAnswer(int status, const QByteArray &body, int delayMs = 0, bool closeMidway = false);

  private:
    QTemporaryDir state;
    QProcess process;
    int answers = 0;
};

// The focused test window (see paste_target.cpp).
class PasteTarget {
  public:
    PasteTarget();
    ~PasteTarget();
    // options: paste_target's ("--field", "--own-clipboard").
    bool start(const QStringList &options = {});
    // Whether it has had the keyboard focus.
    bool focused() const;
    QString text() const;
    QStringList keys() const;
    // How many of the keys it recorded were "press" or "release" of a Qt key number.
    int keyCount(const QString &what, const QString &key) const;

  private:
    QTemporaryDir state;
    QProcess process;
};

// A file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);
// Children of parent that ended and were not collected.
int zombieChildren(qint64 parent);
// Open descriptors of a process.
int openFiles(qint64 pid);

// Speech made with espeak-ng as 16 kHz mono 16-bit WAV.
QString makeSpeech(const QString &words);
// Plays a WAV file into the fake microphone, in real time; returns when done.
bool playIntoMicrophone(const QString &wav);
// The loudest 100 ms average power of a 16-bit mono WAV file, dBFS.
float loudestWindowDb(const QString &wav);

// Runs a program; its standard output, trimmed.
QString runTool(const QString &program, const QStringList &args);
// The daemon's widgets as assistive technology sees them (AT-SPI): one line per
// accessible, "depth<TAB>role<TAB>name<TAB>value<TAB>hidden" (see atspi.py).
QString accessibleTree();
// Whether a widget of that role and name (or label) is on screen.
bool accessibleShowing(const QString &role, const QString &name);
// "press" the first widget of that role and name (or label); false when none.
bool accessibleAction(const QString &verb, const QString &role, const QString &name);
// A process's resident memory, in MB.
double residentMb(qint64 pid);
// The pitch in Hz of the tone a 16 kHz mono 16-bit WAV holds; 0 when none.
double toneOf(const QByteArray &wav);
// A process's windows that are on screen, by X window id.
QStringList visibleWindows(qint64 pid);
// The X window id of the top-level window with that exact title; empty when none.
QString windowNamed(const QString &title);
// Writes a screenshot of a window ("root": the whole screen) to the test output.
void screenshot(const QString &window, const QString &name);

// Presses/releases X keycodes through XTest.
bool xkey(const QString &action, const QList<int> &keycodes);

// Reads one clipboard format; false when there is no owner or no such format.
bool readClipboard(const QString &target, QByteArray *data);
// Every format the clipboard's owner offers, but the meta ones, by name; as a
// Wayland client reads it while the test runs in a Wayland session of its own.
QMap<QString, QByteArray> clipboardContents();

// Names of the cues played while it watched (the sound server's stream names).
// It watches on a thread of its own, so a test that blocks meanwhile misses none.
class CueWatcher {
  public:
    CueWatcher();
    ~CueWatcher();
    QStringList played();

  private:
    void watch();
    pid_t subscriber = -1;
    int output = -1;
    std::thread watcher;
    std::mutex mutex;
    QStringList names;
};
