// A release manifest as a forger may write it: what the parser accepts holds
// only safe relative paths (no control character, none twice) and plain
// permission bits, a version without blanks, and writing it back gives the
// very bytes that were read (nothing is guessed or skipped). The corpus holds
// the forms it must refuse.
#include "update/release.h"

#include <QSet>
#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<Manifest> manifest = parseManifest(text);
    if (!manifest)
        return 0;
    QByteArray written = "parlotta-manifest 1\nidentifier " + manifest->identifier.toUtf8() +
                         "\nversion " + manifest->version.toUtf8() + "\nkey " +
                         manifest->publicKey.toHex() + '\n';
    if (manifest->version.isEmpty() || manifest->version.contains(u' '))
        std::abort();
    QSet<QString> seen;
    for (const ManifestFile &file : manifest->files) {
        const QByteArray path = file.path.toUtf8();
        if (file.mode < 0 || file.mode > 0777 || path.startsWith('/') || path.contains("//") ||
            path.split('/').contains("..") || file.sha256.size() != 64 ||
            std::any_of(path.begin(), path.end(), [](char c) { return uchar(c) < 0x20; }) ||
            seen.contains(file.path))
            std::abort();
        seen.insert(file.path);
        written += "file 0" + QByteArray::number(file.mode, 8).rightJustified(3, '0') + ' ' +
                   file.sha256 + ' ' + path + '\n';
    }
    if (written != text)
        std::abort();
    return 0;
}
