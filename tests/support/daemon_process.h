#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

using namespace Qt::StringLiterals;

// Which whisper-server the daemon finds next to itself.
enum class ServerKind {
    Real,    // the real one, built from whisper.cpp: the daemon runs from the build tree
    StandIn, // the test stand-in, for hangs and odd answers; its state is in serverDir
    Missing, // none, and none on PATH either unless the test sets one
};

// The path of a fixture model of that name ("hello", "morning"): a
// model the real whisper-server loads and that transcribes any audio as one
// fixed text (" Hello world.", " Good morning.").
QString fixtureModel(const QString &name);
// Whether anything listens on the server's port, 127.0.0.1:8178.
bool serverPortOpen();
// Waits until a whisper-server on 127.0.0.1:8178 answers its health check.
bool waitForWhisperServer(int timeoutMs = 20000);

// The real daemon binary run as a child of the test, with HOME and
// XDG_CONFIG_HOME in a fresh temporary directory (a fresh user account).
class DaemonProcess {
  public:
    // Other than Real, the daemon runs from a temporary application directory
    // holding a copy of it and the chosen server.
    explicit DaemonProcess(ServerKind server = ServerKind::Real);
    ~DaemonProcess();

    QString home() const
    {
        return homeDir.path();
    }
    QString configHome() const
    {
        return homeDir.path() + u"/.config"_s;
    }
    QString preferencesPath() const;
    QString modelDir() const
    {
        return home() + u"/.config/parlotta/models"_s;
    }
    QString serverDir() const
    {
        return appDir.path() + u"/server-state"_s;
    }
    // Installs a model file of that name and points current.bin at it: the
    // fixture model of that name if there is one, else a file no server loads.
    void installModel(const QString &name) const;
    // Points current.bin at an installed model.
    void selectModel(const QString &name) const;
    // Replaces the preference file with the given INI text.
    void writePreferences(const QByteArray &ini) const;

    void setEnvironment(const QString &name, const QString &value);
    // Runs another copy of the daemon: an installed release.
    void setProgram(const QString &path)
    {
        process.setProgram(path);
    }
    // start() leaves the settings window the daemon opens without a model.
    void leaveModelChooserOpen()
    {
        keepModelChooser = true;
    }

    // Starts the daemon and waits until it logs its ready line; without a model,
    // also until the settings window it opens has been closed again.
    bool start();
    // Starts the daemon and waits for it to end on its own within timeoutMs.
    bool runToExit(int timeoutMs = 10000);

    qint64 pid() const
    {
        return startedPid;
    }
    void sendSignal(int sig) const;
    bool waitForExit(int timeoutMs = 10000);
    bool isRunning() const
    {
        return process.state() != QProcess::NotRunning;
    }
    QProcess::ExitStatus exitStatus() const
    {
        return process.exitStatus();
    }
    int exitCode() const
    {
        return process.exitCode();
    }
    QByteArray standardOutput()
    {
        return process.readAllStandardOutput();
    }
    QByteArray standardError()
    {
        return stderrText += process.readAllStandardError();
    }

    // helper.log of this run as raw bytes, and its messages without timestamps.
    static QByteArray logBytes();
    QStringList logMessages() const;
    // Waits until a message equal to line is logged by this run.
    bool waitForMessage(const QString &line, int timeoutMs = 5000) const;
    // A dictation by signal: SIGUSR1, the audio into the microphone (none for
    // an empty path), SIGUSR2; waits for a line starting with lastLine.
    bool dictate(const QString &audio, const QString &lastLine, int timeoutMs = 30000) const;

  private:
    bool closeModelChooser() const;
    QTemporaryDir homeDir;
    QTemporaryDir appDir;
    QProcess process;
    QByteArray stderrText;
    qint64 startedPid = 0;
    bool keepModelChooser = false;
};

// Milliseconds-resolution wait that keeps no event loop of its own busy.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
// The daemon's last log message that starts with prefix; empty when none.
QString lastLineStartingWith(const DaemonProcess &daemon, const QString &prefix);
