#include "update/release.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <openssl/evp.h>
#include <sys/stat.h>

namespace parlotta {

namespace {

bool isDigit(char32_t c)
{
    return c >= U'0' && c <= U'9';
}

// -1, 0 or 1 as a compares with b, digit runs by value. Leading zeros do not
// count: "1.01" and "1.1" compare equal.
int compareVersions(const QList<uint> &a, const QList<uint> &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            qsizetype endA = i, endB = j;
            while (endA < a.size() && isDigit(a[endA]))
                ++endA;
            while (endB < b.size() && isDigit(b[endB]))
                ++endB;
            while (i < endA - 1 && a[i] == U'0')
                ++i;
            while (j < endB - 1 && b[j] == U'0')
                ++j;
            if (endA - i != endB - j)
                return endA - i < endB - j ? -1 : 1;
            for (; i < endA; ++i, ++j)
                if (a[i] != b[j])
                    return a[i] < b[j] ? -1 : 1;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j] ? -1 : 1;
        ++i;
        ++j;
    }
    return i < a.size() ? 1 : j < b.size() ? -1 : 0;
}

bool isLowerHex(const QByteArray &text, qsizetype length)
{
    if (text.size() != length)
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// A relative path of plain components in valid UTF-8 without control characters.
bool isSafePath(const QByteArray &path)
{
    if (path.isEmpty() || path.size() > 4096 || path == manifestName || path == signatureName)
        return false;
    for (const QByteArray &part : path.split('/'))
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return QString::fromUtf8(path).toUtf8() == path;
}

bool isPrintableWord(const QByteArray &word)
{
    if (word.isEmpty() || word.size() > 100)
        return false;
    for (const char c : word)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

QByteArray fileSha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

// Adds every entry under dir to found, "/"-separated relative to root; false
// on anything that is neither a plain file nor a folder holding something.
bool listTree(const QString &root, const QString &relative, QHash<QString, struct stat> &found)
{
    const QString dir = relative.isEmpty() ? root : root + u'/' + relative;
    const QStringList names =
        QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    // An empty folder is an entry the manifest cannot name.
    if (names.isEmpty() && !relative.isEmpty())
        return false;
    for (const QString &name : names) {
        const QString path = relative.isEmpty() ? name : relative + u'/' + name;
        struct stat st {};
        if (::lstat(QFile::encodeName(root + u'/' + path).constData(), &st) != 0)
            return false;
        if (S_ISDIR(st.st_mode)) {
            if (!listTree(root, path, found))
                return false;
        } else if (S_ISREG(st.st_mode)) {
            found.insert(path, st);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

bool isNewer(const QString &a, const QString &b)
{
    return compareVersions(a.toUcs4(), b.toUcs4()) > 0;
}

std::optional<Manifest> parseManifest(const QByteArray &text)
{
    if (text.size() > 4 * 1024 * 1024 || !text.endsWith('\n'))
        return std::nullopt;
    QList<QByteArray> lines = text.chopped(1).split('\n');
    if (lines.size() < 4 || lines[0] != "parlotta-manifest 1")
        return std::nullopt;
    const auto field = [&](int index, const char *name) -> std::optional<QByteArray> {
        const QByteArray prefix = QByteArray(name) + ' ';
        if (!lines[index].startsWith(prefix) || !isPrintableWord(lines[index].mid(prefix.size())))
            return std::nullopt;
        return lines[index].mid(prefix.size());
    };
    const auto identifier = field(1, "identifier");
    const auto version = field(2, "version");
    const auto key = field(3, "key");
    if (!identifier || !version || !key || !isLowerHex(*key, 64))
        return std::nullopt;
    Manifest manifest{QString::fromLatin1(*identifier),
                      QString::fromLatin1(*version),
                      QByteArray::fromHex(*key),
                      {}};
    QSet<QByteArray> paths;
    for (qsizetype i = 4; i < lines.size(); ++i) {
        // "file MODE SHA256 PATH": the path is the rest of the line, blanks and all.
        const QByteArray &line = lines[i];
        if (line.size() < 5 + 5 + 65 + 1 || !line.startsWith("file ") || line[9] != ' ' ||
            line[74] != ' ')
            return std::nullopt;
        const QByteArray mode = line.mid(5, 4), sha = line.mid(10, 64), path = line.mid(75);
        // "0" and three octal digits: no set-user-ID or other special bits.
        int bits = 0;
        for (qsizetype d = 0; d < 4; ++d) {
            if (mode[d] < '0' || mode[d] > (d == 0 ? '0' : '7'))
                return std::nullopt;
            bits = bits * 8 + (mode[d] - '0');
        }
        if (!isLowerHex(sha, 64) || !isSafePath(path) || paths.contains(path))
            return std::nullopt;
        paths.insert(path);
        manifest.files.append({QString::fromUtf8(path), bits, sha});
    }
    return manifest;
}

bool verifySignature(const QByteArray &message, const QByteArray &signature,
                     const QByteArray &publicKey)
{
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    EVP_PKEY *key = EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
        publicKey.size());
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool valid =
        key && context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char *>(signature.constData()),
                         signature.size(),
                         reinterpret_cast<const unsigned char *>(message.constData()),
                         message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

QString keyFingerprint(const QByteArray &publicKey)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(publicKey, QCryptographicHash::Sha256).toHex());
}

std::optional<Manifest> readSignedManifest(const QString &appDir, const QByteArray &expectedKey)
{
    QFile text(appDir + u'/' + QLatin1String(manifestName));
    QFile signature(appDir + u'/' + QLatin1String(signatureName));
    if (!text.open(QIODevice::ReadOnly) || text.size() > 4 * 1024 * 1024 ||
        !signature.open(QIODevice::ReadOnly) || signature.size() != 64)
        return std::nullopt;
    const QByteArray bytes = text.readAll();
    std::optional<Manifest> manifest = parseManifest(bytes);
    if (!manifest || (!expectedKey.isEmpty() && manifest->publicKey != expectedKey) ||
        !verifySignature(bytes, signature.readAll(), manifest->publicKey))
        return std::nullopt;
    return manifest;
}

bool treeMatchesManifest(const QString &appDir, const Manifest &manifest)
{
    QHash<QString, struct stat> found;
    if (!listTree(appDir, QString(), found) || !found.remove(QLatin1String(manifestName)) ||
        !found.remove(QLatin1String(signatureName)) || found.size() != manifest.files.size())
        return false;
    for (const ManifestFile &file : manifest.files) {
        const auto entry = found.constFind(file.path);
        if (entry == found.cend() || int(entry->st_mode & 07777) != file.mode ||
            fileSha256(appDir + u'/' + file.path) != file.sha256)
            return false;
    }
    return true;
}

} // namespace parlotta
