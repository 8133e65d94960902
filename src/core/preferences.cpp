#include "core/preferences.h"

#include "core/events.h"
#include "core/log.h"
#include "core/threads.h"

#include <QCoreApplication>
#include <QMap>
#include <QSettings>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <mutex>

namespace parlotta {

namespace {

// QSettings instances are cheap: the parsed file is cached and shared by Qt,
// and a fresh instance picks up changes made on disk.
QSettings openStore()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("parlotta"),
                     QStringLiteral("parlotta"));
}

QString asText(const QVariant &v)
{
    // The INI format reads "a,b" back as a list.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

// What was set and not yet written: reads see it at once, and the file is
// written on a thread of its own, so no change waits for the disk on the main
// thread. Each change has a number, so a write that raced a newer change
// leaves that one pending.
struct Change {
    std::optional<QVariant> value; // none: removed
    quint64 number = 0;
};
std::mutex pendingLock;
QMap<QString, Change> pending;
quint64 changes = 0;
std::atomic<bool> writeQueued{false};
bool writeFailing = false; // on the writer thread, or at quit

// A failed write is tried again this often, until it goes through.
constexpr int retryMs = 5000;

QObject *writer()
{
    static QObject *object = [] {
        auto *o = new QObject;
        o->moveToThread(startWorkerThread(QStringLiteral("Preferences")));
        return o;
    }();
    return object;
}

// Writes what is pending; false, with why, when the file did not take it.
bool writePending(QString *why)
{
    QMap<QString, Change> snapshot;
    {
        const std::lock_guard lock(pendingLock);
        snapshot = pending;
    }
    if (snapshot.isEmpty())
        return true;
    QSettings store = openStore();
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it) {
        if (it->value)
            store.setValue(it.key(), *it->value);
        else
            store.remove(it.key());
    }
    store.sync();
    if (store.status() != QSettings::NoError) {
        *why = store.status() == QSettings::AccessError ? QStringLiteral("it cannot be written")
                                                        : QStringLiteral("its format is broken");
        return false;
    }
    const std::lock_guard lock(pendingLock);
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
        if (pending.value(it.key()).number == it->number)
            pending.remove(it.key());
    return true;
}

void writeOnWriterThread()
{
    writeQueued = false;
    QString why;
    if (writePending(&why)) {
        if (writeFailing)
            log(QStringLiteral("Preferences saved to ") + preferencesFilePath());
        writeFailing = false;
        return;
    }
    if (!writeFailing)
        log(QStringLiteral("ERROR: could not save the preferences to %1 (%2); trying again "
                           "every %3 s")
                .arg(preferencesFilePath(), why)
                .arg(retryMs / 1000));
    writeFailing = true;
    if (!writeQueued.exchange(true))
        QTimer::singleShot(retryMs, writer(), writeOnWriterThread);
}

void change(const QString &key, std::optional<QVariant> value)
{
    {
        const std::lock_guard lock(pendingLock);
        pending.insert(key, Change{std::move(value), ++changes});
    }
    if (!writeQueued.exchange(true))
        QMetaObject::invokeMethod(writer(), writeOnWriterThread, Qt::QueuedConnection);
    // Queued: whoever set it finishes (and logs) before the others follow.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [key] { Q_EMIT daemonEvents().preferenceChanged(key); }, Qt::QueuedConnection);
}

} // namespace

QVariant preferenceValue(const QString &key)
{
    {
        const std::lock_guard lock(pendingLock);
        if (const auto it = pending.constFind(key); it != pending.cend())
            return it->value.value_or(QVariant());
    }
    return openStore().value(key);
}

StoredInteger preferenceInteger(const QString &key)
{
    const QVariant v = preferenceValue(key);
    if (!v.isValid())
        return {};
    bool ok = false;
    const qint64 n = asText(v).trimmed().toLongLong(&ok);
    if (!ok)
        return {true, std::nullopt};
    return {true, n};
}

bool preferenceBool(const QString &key, bool fallback)
{
    const QVariant v = preferenceValue(key);
    if (!v.isValid())
        return fallback;
    const QString text = asText(v).trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return fallback;
}

QString preferenceString(const QString &key, const QString &fallback)
{
    const QVariant v = preferenceValue(key);
    return v.isValid() ? asText(v) : fallback;
}

void setPreference(const QString &key, const QVariant &value)
{
    setPreferences({{key, value}});
}

void setPreferences(std::initializer_list<std::pair<QString, QVariant>> values)
{
    for (const auto &[key, value] : values)
        change(key, value);
}

void removePreference(const QString &key)
{
    change(key, std::nullopt);
}

bool savePreferencesNow()
{
    // On the writer's own thread, after any write it has under way: one
    // writer, so a write begun earlier never lands after this one.
    QString why;
    bool written = false;
    if (QThread::currentThread() == writer()->thread())
        written = writePending(&why);
    else
        QMetaObject::invokeMethod(
            writer(), [&] { written = writePending(&why); }, Qt::BlockingQueuedConnection);
    if (written)
        return true;
    log(QStringLiteral("ERROR: could not save the preferences to %1 (%2); the changes made "
                       "since the last save are lost")
            .arg(preferencesFilePath(), why));
    return false;
}

QString selectedLanguageCode()
{
    return preferenceString(prefLanguage, QStringLiteral("auto"));
}

bool showLanguageCodeEnabled()
{
    return preferenceBool(prefShowLanguage, true);
}

int freeModelAfterMinutes()
{
    const StoredInteger stored = preferenceInteger(prefFreeModelAfter);
    if (!stored.value || *stored.value < 0)
        return defaultIdleLimitMinutes;
    return int(std::min<qint64>(*stored.value, 24 * 60));
}

int idleLimitRow(int minutes)
{
    if (minutes == 0)
        return 0;
    for (int row = 1; row < int(std::size(idleLimitChoices)); ++row)
        if (idleLimitChoices[row] >= minutes)
            return row;
    return int(std::size(idleLimitChoices)) - 1;
}

QString preferencesFilePath()
{
    return openStore().fileName();
}

} // namespace parlotta
