#include "secrets/api_key.h"

#include "core/log.h"
#include "core/preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QTimer>
#include <fcntl.h>
#include <qt6keychain/keychain.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlotta {

namespace {

const QString service = QStringLiteral("Parlotta");
const QString entry = QStringLiteral("server-api-key");

QByteArray key;
bool loading = false;
bool loaded = false;
bool gaveUp = false; // the secret service let one recording wait in vain
KeyStore store = KeyStore::SecretService;
QList<std::function<void(const QByteArray &)>> waiting; // recordings, for 15 s at most
QList<std::function<void()>> readers;                   // for as long as the read takes
// How long a recording waits for the secret service; the tests wait a second.
int keyringWaitMs()
{
    const int fromTest = qEnvironmentVariableIntValue("PARLOTTA_KEYRING_WAIT_MS");
    return fromTest > 0 ? fromTest : 15000;
}

QByteArray readKeyFile()
{
    const int fd =
        ::open(QFile::encodeName(apiKeyFilePath()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    QFile file;
    QByteArray bytes;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        bytes = file.read(4096).trimmed();
    else
        ::close(fd);
    return bytes;
}

// Written whole under a new name readable by the user only, then moved over
// the old one: no moment where the key is half written or readable by others.
bool writeKeyFile(const QByteArray &bytes)
{
    const QString path = apiKeyFilePath();
    QDir().mkpath(QFileInfo(path).path());
    const QByteArray temporary = QFile::encodeName(path + QStringLiteral(".new"));
    ::unlink(temporary.constData());
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0600) == 0 &&
                   ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() &&
                   ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

void removeKeyFile()
{
    ::unlink(QFile::encodeName(apiKeyFilePath()).constData());
}

void finishLoading(const QByteArray &found, KeyStore where)
{
    if (loaded)
        return; // a key the user stored meanwhile stands
    key = found;
    store = where;
    loaded = true;
    for (const auto &use : std::exchange(waiting, {}))
        use(key);
    for (const auto &read : std::exchange(readers, {}))
        read();
}

} // namespace

QString apiKeyFilePath()
{
    return QFileInfo(preferencesFilePath()).path() + QStringLiteral("/api-key");
}

void loadApiKey(std::function<void()> read)
{
    if (read)
        loaded ? read() : readers.append(std::move(read));
    if (loading || loaded)
        return;
    loading = true;
    auto *job = new QKeychain::ReadPasswordJob(service);
    job->setKey(entry);
    QObject::connect(job, &QKeychain::Job::finished, [](QKeychain::Job *done) {
        const auto *read = static_cast<QKeychain::ReadPasswordJob *>(done);
        if (read->error() == QKeychain::NoError) {
            finishLoading(read->textData().toUtf8(), KeyStore::SecretService);
            return;
        }
        // A key kept in the file while no secret service was running.
        const QByteArray fromFile = readKeyFile();
        if (read->error() != QKeychain::EntryNotFound)
            log(QStringLiteral("No secret service for the API key (%1)").arg(read->errorString()));
        finishLoading(fromFile, read->error() == QKeychain::EntryNotFound && fromFile.isEmpty()
                                    ? KeyStore::SecretService
                                    : KeyStore::PrivateFile);
    });
    job->start();
}

QString apiKeyOrigin()
{
    return key.isEmpty() ? QString() : preferenceString(prefServerKeyOrigin, {});
}

void withApiKey(const QString &origin, std::function<void(const QByteArray &key)> use)
{
    if (loaded) {
        const QString givenFor = apiKeyOrigin();
        if (!key.isEmpty() && givenFor.isEmpty()) {
            setPreference(prefServerKeyOrigin, origin); // stored before keys had an origin
        } else if (!key.isEmpty() && givenFor != origin) {
            log(QStringLiteral("The API key given for %1 is not sent to %2").arg(givenFor, origin));
            use({});
            return;
        }
        use(key);
        return;
    }
    if (gaveUp) { // not every recording waits for a keyring that does not answer
        use({});
        return;
    }
    waiting.append([origin, use = std::move(use)](const QByteArray &) {
        withApiKey(origin, use); // read: the origin is checked as above
    });
    loadApiKey();
    if (waiting.size() > 1)
        return; // the first one's wait stands for all
    // A locked keyring waits for the user to unlock it, maybe forever: a
    // recording is not held up for that; it goes without the key.
    QTimer::singleShot(keyringWaitMs(), qApp, [] {
        if (waiting.isEmpty()) // read in time: the read took them all
            return;
        gaveUp = true;
        log(QStringLiteral("The secret service has not given the API key within %1 s (is the "
                           "keyring locked?); sending without it")
                .arg(keyringWaitMs() / 1000));
        for (const auto &user : std::exchange(waiting, {}))
            user({});
    });
}

bool hasApiKey()
{
    return !key.isEmpty();
}

KeyStore apiKeyStore()
{
    return store;
}

QString apiKeyWhereabouts(const QString &origin)
{
    if (key.isEmpty())
        return {};
    const QString givenFor = apiKeyOrigin();
    if (!givenFor.isEmpty() && givenFor != origin)
        return QStringLiteral("The key stored for %1 is not sent to %2: enter this server's key.")
            .arg(givenFor, origin.isEmpty() ? QStringLiteral("this address") : origin);
    return store == KeyStore::SecretService
               ? QStringLiteral("The key is kept in the desktop's secret service.")
               : QStringLiteral("No secret service is running: the key is kept in %1, which "
                                "only you can read.")
                     .arg(apiKeyFilePath());
}

bool keyRemoved(int keychainError, KeyStore where)
{
    return keychainError == QKeychain::NoError || keychainError == QKeychain::EntryNotFound ||
           (where == KeyStore::PrivateFile && keychainError != QKeychain::AccessDeniedByUser);
}

void storeApiKey(const QString &newKey, const QString &origin,
                 std::function<void(const QString &outcome)> done)
{
    const QByteArray bytes = newKey.trimmed().toUtf8();
    if (!bytes.isEmpty()) {
        finishLoading(bytes, store);
        key = bytes;
        setPreference(prefServerKeyOrigin, origin);
    }
    QKeychain::Job *job;
    if (bytes.isEmpty()) {
        job = new QKeychain::DeletePasswordJob(service);
    } else {
        auto *write = new QKeychain::WritePasswordJob(service);
        write->setTextData(QString::fromUtf8(bytes));
        job = write;
    }
    job->setKey(entry);
    QObject::connect(job, &QKeychain::Job::finished, [bytes, done](QKeychain::Job *finished) {
        const QKeychain::Error error = finished->error();
        if (bytes.isEmpty()) {
            // The key is forgotten only once the keyring let it go: else it
            // would come back, and be sent again, at the next start.
            if (!keyRemoved(error, store)) {
                log(QStringLiteral("ERROR: the API key could not be removed from the keyring: ") +
                    finished->errorString());
                done(QStringLiteral("The key could not be removed from the keyring (%1); it is "
                                    "still stored.")
                         .arg(finished->errorString()));
                return;
            }
            removeKeyFile();
            finishLoading({}, store);
            key.clear();
            removePreference(prefServerKeyOrigin);
            log(QStringLiteral("API key removed"));
            done({});
            return;
        }
        if (error == QKeychain::NoError) {
            store = KeyStore::SecretService;
            removeKeyFile();
            log(QStringLiteral("API key stored in the secret service"));
        } else if (error == QKeychain::AccessDeniedByUser) {
            // The user refused the keyring: the key is used until the daemon ends, not written.
            log(QStringLiteral("API key not stored: access to the keyring was refused"));
            done(QStringLiteral("The key was not stored, as access to the keyring was refused; "
                                "it is used until Parlotta quits."));
            return;
        } else if (writeKeyFile(bytes)) {
            store = KeyStore::PrivateFile;
            log(QStringLiteral("No secret service (%1): API key stored in %2")
                    .arg(finished->errorString(), apiKeyFilePath()));
        } else {
            log(QStringLiteral("ERROR: the API key could not be stored in %1")
                    .arg(apiKeyFilePath()));
            done(QStringLiteral("The key could not be stored; it is used until Parlotta quits."));
            return;
        }
        done(apiKeyWhereabouts(preferenceString(prefServerKeyOrigin, {})));
    });
    job->start();
}

} // namespace parlotta
