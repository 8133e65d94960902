#include "update/installer.h"

#include "core/log.h"
#include "core/system_error.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace parlotta {

namespace {

const QString damaged = QStringLiteral("The downloaded update is damaged.");
const QString notSigned = QStringLiteral(
    "The downloaded update isn't signed by the developer of Parlotta, so it wasn't installed.");

// Whether a link at entry (a relative path) pointing to target stays inside the folder.
bool linkStaysInside(const QByteArray &entry, const QByteArray &target)
{
    if (target.isEmpty() || target.startsWith('/'))
        return false;
    QList<QByteArray> parts = entry.split('/');
    parts.removeLast();
    for (const QByteArray &part : target.split('/')) {
        if (part == "..") {
            if (parts.isEmpty())
                return false;
            parts.removeLast();
        } else if (!part.isEmpty() && part != ".") {
            parts.append(part);
        }
    }
    return true;
}

bool isSafeEntryPath(const QByteArray &path)
{
    if (path.isEmpty() || path.startsWith('/'))
        return false;
    for (const QByteArray &part : path.split('/'))
        if (part == "..")
            return false;
    return true;
}

// Walks the folder open as fd without ever following a link: every folder
// gets the mode 0755 (folder modes are not signed, so an archive's own must
// never reach the installed copy), or with remove, everything in it goes.
// Each step goes through the descriptor of a folder opened with O_NOFOLLOW,
// so a folder swapped for a link meanwhile is never entered: only the link goes.
void walkTree(int fd, bool remove)
{
    // Before listing it: a folder without read permission could not be listed.
    ::fchmod(fd, remove ? 0700 : 0755);
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
            names << QByteArray(entry->d_name);
    const int at = ::dirfd(dir);
    for (const QByteArray &name : std::as_const(names)) {
        const int child =
            ::openat(at, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            walkTree(child, remove);
        if (remove)
            ::unlinkat(at, name.constData(), child >= 0 ? AT_REMOVEDIR : 0);
    }
    ::closedir(dir);
}

void normaliseFolderModes(const QString &dir)
{
    const int fd =
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        walkTree(fd, false);
}

// Removes the folder name in the folder open as parent, if it is a folder of
// ours (never a link, never another account's).
void removeTreeAt(int parent, const char *name)
{
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0)
        return;
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid()) {
        ::close(fd);
        return;
    }
    walkTree(fd, true);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

void removeTree(const QString &dir)
{
    const QFileInfo info(dir);
    const int parent =
        ::open(QFile::encodeName(info.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0)
        return;
    removeTreeAt(parent, QFile::encodeName(info.fileName()).constData());
    ::close(parent);
}

const QByteArray appPrefix = "Parlotta.app/";

// The most the unpacked files may hold together: well above any release, far
// below what a hostile archive could fill a disk with.
constexpr qint64 maxUnpackedBytes = qint64(2) << 30;

struct ArchiveReader {
    archive *in = archive_read_new();
    ~ArchiveReader()
    {
        archive_read_free(in);
    }
    bool open(const QString &path)
    {
        if (!in)
            return false;
        archive_read_support_format_zip(in);
        return archive_read_open_filename(in, QFile::encodeName(path).constData(), 65536) ==
               ARCHIVE_OK;
    }
};

// The archive's signed manifest, read before anything is unpacked: false when
// the archive cannot be read or holds none (damaged), else *manifest is the
// manifest when trustedKey signed it for identifier, none otherwise.
bool readArchiveManifest(const QString &archivePath, const QByteArray &trustedKey,
                         const QString &identifier, std::optional<Manifest> *manifest)
{
    ArchiveReader reader;
    if (!reader.open(archivePath))
        return false;
    QByteArray text, signature;
    bool hasText = false, hasSignature = false;
    archive_entry *entry = nullptr;
    int status = ARCHIVE_OK;
    while ((status = archive_read_next_header(reader.in, &entry)) == ARCHIVE_OK) {
        const QByteArray path = archive_entry_pathname(entry);
        const bool isText = path == appPrefix + manifestName;
        const bool isSignature = path == appPrefix + signatureName;
        if (!isText && !isSignature) {
            if (archive_read_data_skip(reader.in) != ARCHIVE_OK)
                return false;
            continue;
        }
        QByteArray &into = isText ? text : signature;
        (isText ? hasText : hasSignature) = true;
        const qsizetype limit = isText ? 4 * 1024 * 1024 : 64;
        char block[65536];
        la_ssize_t n = 0;
        while ((n = archive_read_data(reader.in, block, sizeof block)) > 0) {
            if (into.size() + n > limit + 1)
                break;
            into.append(block, n);
        }
        if (n < 0)
            return false;
    }
    if (status != ARCHIVE_EOF || !hasText || !hasSignature)
        return false;
    std::optional<Manifest> parsed = parseManifest(text);
    if (parsed && parsed->publicKey == trustedKey && parsed->identifier == identifier &&
        verifySignature(text, signature, trustedKey))
        *manifest = std::move(parsed);
    return true;
}

// Unpacks the ZIP archive into dir, entry by entry: only the folders and
// plain files the verified manifest names, each file checked against its
// SHA-256 as it is written; a damaged archive or a link leading outside fails
// it as damaged, anything the manifest does not vouch for as not signed.
bool unpack(const QString &archivePath, const QString &dir, const Manifest &manifest,
            QString *error)
{
    QHash<QByteArray, QByteArray> files = {{appPrefix + manifestName, {}},
                                           {appPrefix + signatureName, {}}};
    QSet<QByteArray> folders = {appPrefix};
    for (const ManifestFile &file : manifest.files) {
        const QByteArray path = appPrefix + file.path.toUtf8();
        files.insert(path, file.sha256);
        for (qsizetype at = path.indexOf('/'); at >= 0; at = path.indexOf('/', at + 1))
            folders.insert(path.left(at + 1));
    }
    ArchiveReader reader;
    archive *out = archive_write_disk_new();
    if (!reader.in || !out) {
        archive_write_free(out);
        *error = QStringLiteral("Couldn't unpack the update.");
        return false;
    }
    archive_write_disk_set_options(out, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                            ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                            ARCHIVE_EXTRACT_NO_OVERWRITE);
    bool failure = !reader.open(archivePath);
    bool unsigned_ = false;
    const QByteArray root = QFile::encodeName(dir) + '/';
    archive_entry *entry = nullptr;
    int status = ARCHIVE_OK;
    qint64 written = 0;
    while (!failure && (status = archive_read_next_header(reader.in, &entry)) == ARCHIVE_OK) {
        const QByteArray path = archive_entry_pathname(entry);
        const auto type = archive_entry_filetype(entry);
        const bool link = type == AE_IFLNK;
        if (!isSafeEntryPath(path) || archive_entry_hardlink(entry) ||
            (type != AE_IFREG && type != AE_IFDIR && !link) ||
            (link && !linkStaysInside(path, archive_entry_symlink(entry)))) {
            failure = true;
            break;
        }
        const bool named = type == AE_IFDIR
                               ? folders.contains(path.endsWith('/') ? path : path + '/')
                               : type == AE_IFREG && files.contains(path);
        if (!named) {
            failure = unsigned_ = true;
            break;
        }
        archive_entry_copy_pathname(entry, (root + path).constData());
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
        if (archive_write_header(out, entry) != ARCHIVE_OK) {
            failure = true;
            break;
        }
        QCryptographicHash sha(QCryptographicHash::Sha256);
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int data = ARCHIVE_OK;
        while ((data = archive_read_data_block(reader.in, &block, &size, &offset)) == ARCHIVE_OK) {
            written += qint64(size);
            sha.addData(QByteArrayView(static_cast<const char *>(block), qsizetype(size)));
            if (written > maxUnpackedBytes) {
                unsigned_ = true;
                data = ARCHIVE_FATAL;
            } else if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
                data = ARCHIVE_FATAL;
            }
        }
        if (data != ARCHIVE_EOF || archive_write_finish_entry(out) != ARCHIVE_OK) {
            failure = true;
            break;
        }
        const QByteArray expected = files.value(path);
        if (type == AE_IFREG && !expected.isEmpty() && sha.result().toHex() != expected)
            failure = unsigned_ = true;
    }
    if (!failure && status != ARCHIVE_EOF)
        failure = true;
    if (archive_write_close(out) != ARCHIVE_OK && !failure)
        failure = true;
    archive_write_free(out);
    if (failure)
        *error = unsigned_ ? notSigned : damaged;
    return !failure;
}

} // namespace

QString applicationDirectory()
{
    return QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/.."))
        .canonicalFilePath();
}

const std::optional<Manifest> &runningManifest()
{
    static const std::optional<Manifest> manifest = readSignedManifest(applicationDirectory());
    return manifest;
}

std::optional<QString> installedVersion()
{
    if (const auto &manifest = runningManifest())
        return manifest->version;
    return std::nullopt;
}

std::optional<QString> signingTeam(const QString &appDir)
{
    if (const auto manifest = readSignedManifest(appDir))
        return keyFingerprint(manifest->publicKey);
    return std::nullopt;
}

bool canReplaceApplication(const QString &appDir)
{
    const QByteArray dir = QFile::encodeName(appDir);
    const QByteArray parent = QFile::encodeName(QFileInfo(appDir).path());
    if (::access(dir.constData(), W_OK) != 0 || ::access(parent.constData(), W_OK) != 0)
        return false;
    // Root can write anywhere; a copy the package manager installed is still its own.
    QFile packaged(QStringLiteral("/var/lib/dpkg/info/parlotta.list"));
    return !packaged.open(QIODevice::ReadOnly) ||
           !packaged.readAll().split('\n').contains(dir + "/bin/parlotta");
}

bool installUpdate(const QString &archive, const QString &appDir, const QByteArray &trustedKey,
                   const QString &identifier, QString *error)
{
    // Nothing is unpacked before the manifest is verified.
    std::optional<Manifest> manifest;
    if (!readArchiveManifest(archive, trustedKey, identifier, &manifest)) {
        *error = damaged;
        return false;
    }
    if (!manifest) {
        *error = notSigned;
        return false;
    }
    QByteArray scratch = QFile::encodeName(QFileInfo(appDir).path()) + "/.parlotta-update-XXXXXX";
    if (!::mkdtemp(scratch.data())) {
        *error = QStringLiteral("Couldn't create a temporary folder next to the app.");
        return false;
    }
    const QString dir = QFile::decodeName(scratch);
    const bool installed = [&] {
        if (!unpack(archive, dir, *manifest, error))
            return false;
        const QString newApp = dir + QStringLiteral("/Parlotta.app");
        if (!QFileInfo(newApp).isDir() || QFileInfo(newApp).isSymLink()) {
            *error = damaged;
            return false;
        }
        normaliseFolderModes(newApp);
        // Modes, files missing, and the copy on disk as a whole.
        const auto onDisk = readSignedManifest(newApp, trustedKey);
        if (!onDisk || onDisk->identifier != identifier || !treeMatchesManifest(newApp, *onDisk)) {
            *error = notSigned;
            return false;
        }
        if (::renameat2(AT_FDCWD, QFile::encodeName(newApp).constData(), AT_FDCWD,
                        QFile::encodeName(appDir).constData(), RENAME_EXCHANGE) != 0) {
            *error = QStringLiteral("Couldn't replace the app: ") + systemErrorText();
            return false;
        }
        return true; // the old copy is now where the new one was, and goes with dir
    }();
    removeTree(dir);
    return installed;
}

void relaunch(const QString &appDir)
{
    const QByteArray pid = QByteArray::number(::getpid());
    const QByteArray program = QFile::encodeName(appDir) + "/bin/parlotta";
    // The new copy runs in the foreground of this shell, so that a copy that
    // cannot start (not executable, a library missing, ending at once) leaves
    // one line in the log, through the descriptor it inherits as 3: the new
    // copy opens the log afresh, this shell only appends.
    static const char script[] =
        "while /bin/kill -0 \"$0\" 2>/dev/null; do /bin/sleep 0.2; done\n"
        "say() { printf '%s +0000: Relaunch failed: %s\\n' "
        "\"$(/bin/date -u '+%Y-%m-%d %H:%M:%S')\" \"$1\" >&3; }\n"
        "[ -x \"$1\" ] || { say \"$1 is not executable\"; exit 1; }\n"
        "started=$(/bin/date +%s)\n"
        "\"$1\" 3>&-\n"
        "status=$?\n"
        "[ \"$status\" -eq 0 ] || [ $(($(/bin/date +%s) - started)) -ge 10 ] ||\n"
        "    say \"$1 exited with status $status\"\n";
    const char *argv[] = {"/bin/sh", "-c", script, pid.constData(), program.constData(), nullptr};
    // A session of its own with nothing of ours: no terminal, no blocked signals.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGPIPE})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (const int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&files, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    if (logDescriptor() >= 0)
        posix_spawn_file_actions_adddup2(&files, logDescriptor(), 3);
    else
        posix_spawn_file_actions_addopen(&files, 3, "/dev/null", O_WRONLY, 0);
    pid_t shell = 0;
    if (posix_spawn(&shell, argv[0], &files, &attributes, const_cast<char **>(argv), environ) != 0)
        std::fputs("parlotta: could not start the relaunch shell\n", stderr);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
}

void removeLeftovers(const QString &appDir)
{
    // Beside a copy in a folder other accounts can write (/tmp, a shared
    // folder), what looks like our leftover may be anyone's: left alone.
    const QDir beside = QFileInfo(appDir).dir();
    const int parent =
        ::open(QFile::encodeName(beside.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (parent >= 0 && ::fstat(parent, &info) == 0 && !(info.st_mode & (S_IWGRP | S_IWOTH)) &&
        (info.st_uid == ::geteuid() || info.st_uid == 0)) {
        for (const QString &name : beside.entryList({QStringLiteral(".parlotta-update-*")},
                                                    QDir::Dirs | QDir::Hidden | QDir::NoSymLinks))
            removeTreeAt(parent, QFile::encodeName(name).constData());
    }
    if (parent >= 0)
        ::close(parent);
}

} // namespace parlotta
