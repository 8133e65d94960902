#include "desktop_helpers.h"
#include "daemon_process.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int zombieChildren(qint64 parent)
{
    int zombies = 0;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QList<QByteArray> fields =
            readFile(QStringLiteral("/proc/%1/stat").arg(entry)).split(')').value(1).split(' ');
        if (fields.value(1) == "Z" && fields.value(2).toLongLong() == parent)
            ++zombies;
    }
    return zombies;
}

int openFiles(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

namespace {

bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr,
         int timeoutMs = 30000)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString scratch()
{
    static QTemporaryDir dir;
    return dir.path();
}

} // namespace

FakeServer::FakeServer()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PARLOTTA_FAKE_SERVER_DIR"), state.path());
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(FAKE_WHISPER_SERVER));
}

FakeServer::~FakeServer()
{
    stop();
}

bool FakeServer::start(const QStringList &args)
{
    process.setArguments(args);
    process.start();
    if (!process.waitForStarted(5000))
        return false;
    return waitUntil(
        [] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), 8178);
            return probe.waitForConnected(100);
        },
        5000);
}

void FakeServer::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void FakeServer::addAnswer(int status, const QByteArray &body, int delayMs, bool closeMidway)
{
    QDir().mkpath(state.path() + QStringLiteral("/answers"));
    QFile file(state.path() +
               QStringLiteral("/answers/%1").arg(++answers, 4, 10, QLatin1Char('0')));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray::number(status) + ' ' + QByteArray::number(delayMs) +
                   (closeMidway ? " close" : "") + '\n' + body);
}

QList<QByteArray> FakeServer::requests() const
{
    QList<QByteArray> all;
    QDir dir(state.path() + QStringLiteral("/requests"));
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
        all << readFile(dir.filePath(name));
    return all;
}

PasteTarget::PasteTarget()
{
    process.setProgram(QStringLiteral(PASTE_TARGET));
}

PasteTarget::~PasteTarget()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool PasteTarget::start(const QStringList &options)
{
    process.setArguments(QStringList{QStringLiteral("--dir"), state.path()} + options);
    process.start();
    return process.waitForStarted(5000) &&
           waitUntil([this] { return QFile::exists(state.path() + QStringLiteral("/focused")); },
                     10000);
}

QString PasteTarget::text() const
{
    return QString::fromUtf8(readFile(state.path() + QStringLiteral("/text")));
}

QStringList PasteTarget::keys() const
{
    return QString::fromUtf8(readFile(state.path() + QStringLiteral("/keys")))
        .split(u'\n', Qt::SkipEmptyParts);
}

QString makeSpeech(const QString &words)
{
    static int counter = 0;
    const QString raw = scratch() + QStringLiteral("/raw%1.wav").arg(++counter);
    const QString out = scratch() + QStringLiteral("/speech%1.wav").arg(counter);
    return run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), raw, words}) &&
                   run(QStringLiteral("sox"),
                       {QStringLiteral("-D"), raw, QStringLiteral("-r"), QStringLiteral("16000"),
                        QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-b"),
                        QStringLiteral("16"), QStringLiteral("-e"),
                        QStringLiteral("signed-integer"), out})
               ? out
               : QString();
}

bool playIntoMicrophone(const QString &wav)
{
    return run(QStringLiteral("paplay"), {QStringLiteral("-d"), QStringLiteral("feed"), wav});
}

float loudestWindowDb(const QString &wav)
{
    const QByteArray file = readFile(wav);
    const qsizetype data = file.indexOf("data");
    if (data < 0)
        return -160;
    const auto *samples = reinterpret_cast<const qint16 *>(file.constData() + data + 8);
    const qsizetype count = (file.size() - data - 8) / 2;
    double best = -160;
    for (qsizetype start = 0; start < count; start += 1600) {
        const qsizetype n = std::min<qsizetype>(1600, count - start);
        double sum = 0;
        for (qsizetype i = 0; i < n; ++i)
            sum += double(samples[start + i]) * samples[start + i];
        if (sum > 0)
            best = std::max(best, 10 * std::log10(sum / double(n) / (32768.0 * 32768.0)));
    }
    return float(best);
}

bool xkey(const QString &action, const QList<int> &keycodes)
{
    QStringList args = {action};
    for (int code : keycodes)
        args << QString::number(code);
    return run(QStringLiteral(XKEY), args);
}

bool readClipboard(const QString &target, QByteArray *data)
{
    return run(QStringLiteral("xclip"),
               {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard"),
                QStringLiteral("-t"), target},
               data, 5000);
}

// Every format the clipboard's owner offers, but the meta ones.
QMap<QString, QByteArray> clipboardContents()
{
    QMap<QString, QByteArray> contents;
    QByteArray targets;
    if (!readClipboard(QStringLiteral("TARGETS"), &targets))
        return contents;
    for (const QByteArray &target : targets.split('\n')) {
        if (target.isEmpty() || target == "TARGETS" || target == "MULTIPLE" ||
            target == "TIMESTAMP" || target == "SAVE_TARGETS")
            continue;
        QByteArray data;
        if (readClipboard(QString::fromUtf8(target), &data))
            contents.insert(QString::fromUtf8(target), data);
    }
    return contents;
}

QList<FormPart> formParts(const QByteArray &request, QByteArray *boundaryOut)
{
    const qsizetype headerEnd = request.indexOf("\r\n\r\n");
    const QByteArray head = request.left(headerEnd);
    const QByteArray body = request.mid(headerEnd + 4);
    const qsizetype at = head.indexOf("boundary=");
    const QByteArray boundary = head.mid(at + 9, head.indexOf("\r\n", at) - at - 9);
    if (boundaryOut)
        *boundaryOut = boundary;
    QList<FormPart> parts;
    const QByteArray delimiter = "--" + boundary;
    qsizetype pos = body.indexOf(delimiter);
    while (pos >= 0 && body.mid(pos + delimiter.size(), 2) == "\r\n") {
        const qsizetype start = pos + delimiter.size() + 2;
        const qsizetype next = body.indexOf("\r\n" + delimiter, start);
        if (next < 0)
            break;
        const QByteArray part = body.mid(start, next - start);
        const qsizetype split = part.indexOf("\r\n\r\n");
        parts.append({part.left(split), part.mid(split + 4)});
        pos = next + 2;
    }
    return parts;
}

CueWatcher::CueWatcher()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    subscriber = ::fork();
    if (subscriber == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execlp("pactl", "pactl", "subscribe", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    output = fds[0];
    watcher = std::thread([this] { watch(); });
    QThread::msleep(100); // subscribed before the test goes on
}

CueWatcher::~CueWatcher()
{
    if (subscriber > 0) {
        ::kill(subscriber, SIGTERM);
        ::waitpid(subscriber, nullptr, 0);
    }
    if (watcher.joinable())
        watcher.join();
    if (output >= 0)
        ::close(output);
}

void CueWatcher::watch()
{
    static const QRegularExpression name(QStringLiteral("media.name = \"(tink|pop|basso)\""));
    FILE *events = ::fdopen(::dup(output), "r");
    char line[512];
    while (events && std::fgets(line, sizeof line, events)) {
        if (!std::strstr(line, "'new' on sink-input"))
            continue;
        // The cue is still sounding: its stream is listed for a tenth of a second or more.
        QByteArray listing;
        run(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sink-inputs")},
            &listing, 5000);
        std::lock_guard lock(mutex);
        auto it = name.globalMatch(QString::fromUtf8(listing));
        while (it.hasNext())
            names << it.next().captured(1);
    }
    if (events)
        std::fclose(events);
}

QStringList CueWatcher::played()
{
    QThread::msleep(200); // the last cue's stream may still be coming up
    std::lock_guard lock(mutex);
    names.removeDuplicates();
    return names;
}

QString runTool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString accessibleTree()
{
    return runTool(QStringLiteral(ATSPI_TOOL),
                   {QStringLiteral("tree"), QStringLiteral("Parlotta")});
}

bool accessibleShowing(const QString &role, const QString &name)
{
    const QStringList lines = accessibleTree().split(QLatin1Char('\n'));
    return std::any_of(lines.cbegin(), lines.cend(), [&](const QString &line) {
        const QStringList f = line.split(QLatin1Char('\t'));
        return f.value(1) == role && (f.value(2) == name || f.value(3) == name) &&
               !f.value(4).contains(QLatin1String("hidden"));
    });
}

double residentMb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

bool accessibleAction(const QString &verb, const QString &role, const QString &name)
{
    return QProcess::execute(QStringLiteral(ATSPI_TOOL),
                             {verb, QStringLiteral("Parlotta"), role, name}) == 0;
}

QStringList visibleWindows(qint64 pid)
{
    return runTool(QStringLiteral("xdotool"),
                   {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                    QStringLiteral("--pid"), QString::number(pid)})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString windowNamed(const QString &title)
{
    return runTool(QStringLiteral("xdotool"),
                   {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                    QStringLiteral("--name"), QLatin1Char('^') + title + QLatin1Char('$')})
        .section(QLatin1Char('\n'), 0, 0);
}

void screenshot(const QString &window, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    QProcess::execute(
        QStringLiteral("import"),
        {QStringLiteral("-window"), window, QStringLiteral(SCREENSHOT_DIR "/%1.png").arg(name)});
}
