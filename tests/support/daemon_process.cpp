#include "daemon_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <csignal>

namespace {
constexpr int timestampLength = 27; // "YYYY-MM-DD HH:MM:SS +0000: "
}

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

DaemonProcess::DaemonProcess(bool withServer)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("PARLOTTA_FAKE_SERVER_DIR"), serverDir());
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(PARLOTTA_BINARY));
    if (withServer) {
        const QString bin = appDir.path() + QStringLiteral("/bin");
        QDir().mkpath(bin);
        QFile::copy(QStringLiteral(PARLOTTA_BINARY), bin + QStringLiteral("/parlotta"));
        QFile::copy(QStringLiteral(FAKE_WHISPER_SERVER), bin + QStringLiteral("/whisper-server"));
        process.setProgram(bin + QStringLiteral("/parlotta"));
    }
}

void DaemonProcess::installModel(const QString &name) const
{
    QDir().mkpath(modelDir());
    QFile model(modelDir() + QStringLiteral("/ggml-%1.bin").arg(name));
    if (model.open(QIODevice::WriteOnly))
        model.write("not really a model");
    model.close();
    QFile::remove(modelDir() + QStringLiteral("/current.bin"));
    QFile::link(model.fileName(), modelDir() + QStringLiteral("/current.bin"));
}

DaemonProcess::~DaemonProcess()
{
    if (!isRunning())
        return;
    // A daemon killed outright leaves its children behind; a test must not
    // leave a server holding the port for the next one.
    QList<pid_t> children;
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid()))
                                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile file(QStringLiteral("/proc/%1/task/%2/children").arg(pid()).arg(task));
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray &child : file.readAll().split(' '))
                if (child.trimmed().toInt() > 0)
                    children << pid_t(child.trimmed().toInt());
    }
    process.kill();
    process.waitForFinished(5000);
    for (pid_t child : children)
        ::kill(child, SIGKILL);
}

void DaemonProcess::setEnvironment(const QString &name, const QString &value)
{
    QProcessEnvironment env = process.processEnvironment();
    env.insert(name, value);
    process.setProcessEnvironment(env);
}

QString DaemonProcess::preferencesPath() const
{
    return configHome() + QStringLiteral("/parlotta/parlotta.ini");
}

void DaemonProcess::writePreferences(const QByteArray &ini) const
{
    QDir().mkpath(configHome() + QStringLiteral("/parlotta"));
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
                   return has(QStringLiteral("Daemon ready")) &&
                          has(QStringLiteral("Microphone access ")) &&
                          has(QStringLiteral("Event tap "));
               },
               10000) &&
           isRunning();
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
    QFile file(QStringLiteral("/tmp/parlotta/helper.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList DaemonProcess::logMessages() const
{
    QStringList messages;
    const QList<QByteArray> lines = logBytes().split('\n');
    for (const QByteArray &line : lines)
        messages << QString::fromUtf8(line.mid(timestampLength));
    if (!messages.isEmpty() && messages.last().isEmpty())
        messages.removeLast();
    // Only this run's lines: an earlier run's log may still be there until the
    // daemon replaces it.
    const QString banner = QStringLiteral("=== Parlotta daemon starting (PID:%1) ===").arg(pid());
    if (messages.value(0) != banner)
        return {};
    return messages;
}

bool DaemonProcess::waitForMessage(const QString &line, int timeoutMs) const
{
    return waitUntil([&] { return logMessages().contains(line); }, timeoutMs);
}
