#include "daemon_process.h"
#include "test_helpers.h"

#include "desktop_helpers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QThread>
#include <csignal>
#include <cstdio>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        // Keeps helpers that live on signals (process output) up to date.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

QString fixtureModel(const QString &name)
{
    return QStringLiteral(FIXTURE_MODELS_DIR "/%1.bin").arg(name);
}

bool serverPortOpen()
{
    QTcpSocket probe;
    probe.connectToHost(u"127.0.0.1"_s, 8178);
    return probe.waitForConnected(100);
}

bool waitForWhisperServer(int timeoutMs)
{
    return waitUntil(
        [] {
            QTcpSocket probe;
            probe.connectToHost(u"127.0.0.1"_s, 8178);
            if (!probe.waitForConnected(200))
                return false;
            probe.write("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
            QByteArray answer;
            while (probe.waitForReadyRead(1000))
                answer += probe.readAll();
            return answer.startsWith("HTTP/1.1 200") && answer.contains("\"ok\"");
        },
        timeoutMs);
}

DaemonProcess::DaemonProcess(ServerKind server)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, home());
    env.insert(u"XDG_CONFIG_HOME"_s, configHome());
    env.insert(u"PARLOTTA_FAKE_SERVER_DIR"_s, serverDir());
    // Tests never reach the real model hub: nothing listens on port 9.
    env.insert(u"HF_ENDPOINT"_s, u"http://127.0.0.1:9"_s);
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(PARLOTTA_BINARY));
    if (server != ServerKind::Real) {
        const QString bin = appDir.path() + u"/bin"_s;
        QDir().mkpath(bin);
        QFile::copy(QStringLiteral(PARLOTTA_BINARY), bin + u"/parlotta"_s);
        if (server == ServerKind::StandIn)
            QFile::copy(QStringLiteral(FAKE_WHISPER_SERVER), bin + u"/whisper-server"_s);
        process.setProgram(bin + u"/parlotta"_s);
    }
}

void DaemonProcess::installModel(const QString &name) const
{
    QDir().mkpath(modelDir());
    const QString path = modelDir() + u"/ggml-%1.bin"_s.arg(name);
    QFile::remove(path);
    if (QFile::exists(fixtureModel(name))) {
        QFile::link(fixtureModel(name), path);
    } else {
        QFile model(path);
        if (model.open(QIODevice::WriteOnly))
            model.write("not really a model");
    }
    selectModel(name);
}

void DaemonProcess::selectModel(const QString &name) const
{
    const QString temporary = modelDir() + u"/current.bin.test"_s;
    QFile::remove(temporary);
    QFile::link(modelDir() + u"/ggml-%1.bin"_s.arg(name), temporary);
    std::rename(QFile::encodeName(temporary).constData(),
                QFile::encodeName(modelDir() + u"/current.bin"_s).constData());
}

DaemonProcess::~DaemonProcess()
{
    if (!isRunning())
        return;
    // A daemon killed outright leaves its children behind; a test must not
    // leave a server holding the port for the next one.
    QList<pid_t> children;
    const QStringList tasks =
        QDir(u"/proc/%1/task"_s.arg(pid())).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile file(u"/proc/%1/task/%2/children"_s.arg(pid()).arg(task));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray &child : file.readAll().split(' '))
                if (child.trimmed().toInt() > 0)
                    children << pid_t(child.trimmed().toInt());
    }
    process.kill();
    process.waitForFinished(5000);
    for (pid_t child : children)
        ::kill(child, SIGKILL);
    // Gone, or a zombie: either way its port is free for the next test.
    waitUntil(
        [&] {
            return std::all_of(children.cbegin(), children.cend(), [](pid_t child) {
                QFile stat(u"/proc/%1/stat"_s.arg(child));
                return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
            });
        },
        5000);
}

void DaemonProcess::setEnvironment(const QString &name, const QString &value)
{
    QProcessEnvironment env = process.processEnvironment();
    env.insert(name, value);
    process.setProcessEnvironment(env);
}

QString DaemonProcess::preferencesPath() const
{
    return configHome() + u"/parlotta/parlotta.ini"_s;
}

void DaemonProcess::writePreferences(const QByteArray &ini) const
{
    QDir().mkpath(configHome() + u"/parlotta"_s);
    QFile file(preferencesPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(ini);
}

bool DaemonProcess::start()
{
    process.start();
    if (!process.waitForStarted(5000))
        return false;
    startedPid = process.processId();
    // Ready, and done with the lines other threads write at start-up, so that
    // a test's lines follow each other undisturbed.
    return waitUntil(
               [this] {
                   if (!isRunning())
                       return true;
                   const QStringList lines = logMessages();
                   const auto has = [&](const QString &prefix) {
                       return std::any_of(lines.cbegin(), lines.cend(), [&](const QString &line) {
                           return line.startsWith(prefix);
                       });
                   };
                   return has(u"Daemon ready"_s) && has(u"Microphone access "_s) &&
                          has(u"Event tap "_s);
               },
               10000) &&
           isRunning() && closeModelChooser();
}

bool DaemonProcess::closeModelChooser() const
{
    // Without a model the daemon opens its settings window to choose one; a
    // test that steers the daemon otherwise closes it, as a user would, so
    // that the window it types into keeps the focus.
    const QFileInfo model(modelDir() + u"/current.bin"_s);
    const QProcessEnvironment env = process.processEnvironment();
    const bool onOurDesktop = !qEnvironmentVariableIsEmpty("DISPLAY") &&
                              env.value(u"DISPLAY"_s) == qEnvironmentVariable("DISPLAY") &&
                              env.value(u"QT_QPA_PLATFORM"_s) != u"offscreen"_s;
    if (keepModelChooser || model.isSymLink() || model.exists() || !onOurDesktop)
        return true;
    QString window;
    if (!waitUntil(
            [&] {
                window = windowNamed(u"Settings"_s);
                return !window.isEmpty();
            },
            5000))
        return false;
    QProcess::execute(QStringLiteral(XKEY), {u"close"_s, window});
    return waitUntil([] { return windowNamed(u"Settings"_s).isEmpty(); }, 5000);
}

bool DaemonProcess::runToExit(int timeoutMs)
{
    process.start();
    if (!process.waitForStarted(5000))
        return false;
    startedPid = process.processId();
    return waitForExit(timeoutMs);
}

void DaemonProcess::sendSignal(int sig) const
{
    ::kill(pid_t(pid()), sig);
}

bool DaemonProcess::waitForExit(int timeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

QByteArray DaemonProcess::logBytes()
{
    QFile file(u"/tmp/parlotta/helper.log"_s);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList DaemonProcess::logMessages() const
{
    // Only this run's lines: an earlier run's log may still be there until the
    // daemon replaces it. Where another account holds /tmp/parlotta, the
    // daemon's files are in its own runtime folder.
    const QString banner = u"=== Parlotta daemon starting (PID:%1) ==="_s.arg(pid());
    const QString own = process.processEnvironment().value(u"XDG_RUNTIME_DIR"_s,
                                                           qEnvironmentVariable("XDG_RUNTIME_DIR"));
    for (const QString &dir : {u"/tmp/parlotta"_s, own + u"/parlotta"_s}) {
        const QStringList messages = logMessagesIn(dir + u"/helper.log"_s);
        if (messages.value(0) == banner)
            return messages;
    }
    return {};
}

bool DaemonProcess::waitForMessage(const QString &line, int timeoutMs) const
{
    return waitUntil([&] { return logMessages().contains(line); }, timeoutMs);
}

bool DaemonProcess::dictate(const QString &audio, const QString &lastLine, int timeoutMs) const
{
    const qsizetype before = logMessages().size();
    const auto logged = [&](const QString &prefix) {
        const QStringList lines = logMessages().mid(before);
        return std::any_of(lines.cbegin(), lines.cend(),
                           [&](const QString &line) { return line.startsWith(prefix); });
    };
    // A failed step says which, and what the daemon logged meanwhile.
    const auto failed = [&](const char *step) {
        qWarning("dictate: %s; the daemon logged:\n%s", step,
                 qPrintable(logMessages().mid(before).join(u'\n')));
        return false;
    };
    sendSignal(SIGUSR1);
    if (!waitUntil([&] { return logged(u"Recording started"_s); }, 5000))
        return failed("no \"Recording started\"");
    if (!audio.isEmpty() && !playIntoMicrophone(audio))
        return failed("the audio did not play into the microphone");
    sendSignal(SIGUSR2);
    return waitUntil([&] { return logged(lastLine); }, timeoutMs) ||
           failed("the awaited line did not come");
}

QString lastLineStartingWith(const DaemonProcess &daemon, const QString &prefix)
{
    const QStringList lines = daemon.logMessages();
    for (auto line = lines.crbegin(); line != lines.crend(); ++line)
        if (line->startsWith(prefix))
            return *line;
    return {};
}
