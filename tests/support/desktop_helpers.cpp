#include "desktop_helpers.h"
#include "daemon_process.h"
#include "platform/clipboard_formats.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int zombieChildren(qint64 parent)
{
    int zombies = 0;
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        const QList<QByteArray> fields =
            readFile(u"/proc/%1/stat"_s.arg(entry)).split(')').value(1).split(' ');
        if (fields.value(1) == "Z" && fields.value(2).toLongLong() == parent)
            ++zombies;
    }
    return zombies;
}

int openFiles(qint64 pid)
{
    return int(
        QDir(u"/proc/%1/fd"_s.arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

namespace {

// A program's output; none when it failed (not said: the callers expect failures).
std::optional<QByteArray> quietOutput(const QString &program, const QStringList &args,
                                      int timeoutMs = 5000)
{
    return output(program, args, QProcessEnvironment::systemEnvironment(), true, timeoutMs);
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
    env.insert(u"PARLOTTA_FAKE_SERVER_DIR"_s, state.path());
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral(FAKE_WHISPER_SERVER));
}

FakeServer::~FakeServer()
{
    stop();
}

bool FakeServer::start()
{
    process.start();
    return process.waitForStarted(5000) && waitUntil(serverPortOpen, 5000);
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
    QDir().mkpath(state.path() + u"/answers"_s);
    QFile file(state.path() + u"/answers/%1"_s.arg(++answers, 4, 10, QLatin1Char('0')));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray::number(status) + ' ' + QByteArray::number(delayMs) +
                   (closeMidway ? " close" : "") + '\n' + body);
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
    process.setArguments(QStringList{u"--dir"_s, state.path()} + options);
    process.start();
    return process.waitForStarted(5000) && waitUntil([this] { return focused(); }, 10000);
}

bool PasteTarget::focused() const
{
    return QFile::exists(state.path() + u"/focused"_s);
}

QString PasteTarget::text() const
{
    return QString::fromUtf8(readFile(state.path() + u"/text"_s));
}

QStringList PasteTarget::keys() const
{
    return QString::fromUtf8(readFile(state.path() + u"/keys"_s)).split(u'\n', Qt::SkipEmptyParts);
}

int PasteTarget::keyCount(const QString &what, const QString &key) const
{
    const QStringList lines = keys();
    return int(std::count_if(lines.cbegin(), lines.cend(), [&](const QString &line) {
        return line.startsWith(what + u' ' + key + u' ');
    }));
}

QString makeSpeech(const QString &words)
{
    static int counter = 0;
    const QString raw = scratch() + u"/raw%1.wav"_s.arg(++counter);
    const QString out = scratch() + u"/speech%1.wav"_s.arg(counter);
    return run(u"espeak-ng"_s, {u"-w"_s, raw, words}) &&
                   run(u"sox"_s, {u"-D"_s, raw, u"-r"_s, u"16000"_s, u"-c"_s, u"1"_s, u"-b"_s,
                                  u"16"_s, u"-e"_s, u"signed-integer"_s, out})
               ? out
               : QString();
}

bool playIntoMicrophone(const QString &wav)
{
    return run(u"paplay"_s, {u"-d"_s, u"feed"_s, wav});
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

namespace {

// In a Wayland session of the test's own: as a Wayland client reads it.
bool inWayland()
{
    return qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("DISPLAY");
}

} // namespace

bool readClipboard(const QString &target, QByteArray *data)
{
    const auto content =
        inWayland()
            ? quietOutput(u"wl-paste"_s, {u"--no-newline"_s, u"-t"_s, target})
            : quietOutput(u"xclip"_s, {u"-o"_s, u"-selection"_s, u"clipboard"_s, u"-t"_s, target});
    *data = content.value_or(QByteArray());
    return content.has_value();
}

QMap<QString, QByteArray> clipboardContents()
{
    QMap<QString, QByteArray> contents;
    QByteArray targets;
    if (inWayland())
        targets = quietOutput(u"wl-paste"_s, {u"--list-types"_s}).value_or(QByteArray());
    else if (!readClipboard(u"TARGETS"_s, &targets))
        return contents;
    for (const QByteArray &target : targets.split('\n')) {
        if (target.isEmpty() || parlotta::isMetaTarget(target))
            continue;
        QByteArray data;
        if (readClipboard(QString::fromUtf8(target), &data))
            contents.insert(QString::fromUtf8(target), data);
    }
    return contents;
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
    static const QRegularExpression name(u"media.name = \"(tink|pop|basso)\""_s);
    FILE *events = ::fdopen(::dup(output), "r");
    char line[512];
    while (events && std::fgets(line, sizeof line, events)) {
        if (!std::strstr(line, "'new' on sink-input"))
            continue;
        // The cue is still sounding: its stream is listed for a tenth of a second or more.
        const QByteArray listing =
            quietOutput(u"pactl"_s, {u"list"_s, u"sink-inputs"_s}).value_or(QByteArray());
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
    return QString::fromUtf8(quietOutput(program, args, 10000).value_or(QByteArray())).trimmed();
}

QString accessibleTree()
{
    return runTool(QStringLiteral(ATSPI_TOOL), {u"tree"_s, u"Parlotta"_s});
}

bool accessibleShowing(const QString &role, const QString &name)
{
    const QStringList lines = accessibleTree().split(QLatin1Char('\n'));
    return std::any_of(lines.cbegin(), lines.cend(), [&](const QString &line) {
        const QStringList f = line.split(QLatin1Char('\t'));
        return f.value(1) == role && (f.value(2) == name || f.value(3) == name) &&
               !f.value(4).contains(u"hidden"_s);
    });
}

double residentMb(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

bool accessibleAction(const QString &verb, const QString &role, const QString &name)
{
    return QProcess::execute(QStringLiteral(ATSPI_TOOL), {verb, u"Parlotta"_s, role, name}) == 0;
}

QStringList visibleWindows(qint64 pid)
{
    return runTool(u"xdotool"_s,
                   {u"search"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid)})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString windowNamed(const QString &title)
{
    return runTool(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--name"_s,
                                  QLatin1Char('^') + title + QLatin1Char('$')})
        .section(QLatin1Char('\n'), 0, 0);
}

void screenshot(const QString &window, const QString &name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    QProcess::execute(u"import"_s,
                      {u"-window"_s, window, QStringLiteral(SCREENSHOT_DIR "/%1.png").arg(name)});
}

// The tone's pitch from the median time between its swings past a threshold:
// silence, the sound server's faint noise and a stretch of another sound at
// the edges do not move it.
double toneOf(const QByteArray &wav)
{
    const auto *samples = reinterpret_cast<const qint16 *>(wav.constData() + 44);
    const qsizetype count = (wav.size() - 44) / 2;
    constexpr int threshold = 1000;
    std::vector<qsizetype> halfPeriods;
    int side = 0;
    qsizetype last = -1;
    for (qsizetype i = 0; i < count; ++i) {
        const int now = samples[i] > threshold ? 1 : samples[i] < -threshold ? -1 : 0;
        if (now == 0 || now == side)
            continue;
        if (last >= 0)
            halfPeriods.push_back(i - last);
        side = now;
        last = i;
    }
    if (halfPeriods.empty())
        return 0;
    std::nth_element(halfPeriods.begin(), halfPeriods.begin() + halfPeriods.size() / 2,
                     halfPeriods.end());
    return 16000.0 / 2 / double(halfPeriods[halfPeriods.size() / 2]);
}
