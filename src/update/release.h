#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace parlotta {

// True exactly when version a is newer than b: compared from the left, runs
// of decimal digits by their value and everything else by code point; where
// one text is a prefix of the other, the longer one is newer. No splitting
// into components: "1.2.0" is newer than "1.2", and "<html>" than "1.0".
bool isNewer(const QString &a, const QString &b);

// A release's application folder is described by the file "manifest" at its
// top: its identifier, version, the public key that signs it, and every file
// with its permission bits and SHA-256. "manifest.sig" beside it holds the
// Ed25519 signature of the manifest's bytes. Neither lists itself.
//
//   parlotta-manifest 1
//   identifier com.parlotta.app
//   version 1.4.0
//   key <64 hex digits: the raw Ed25519 public key>
//   file 0755 <64 hex digits: SHA-256> bin/parlotta
inline constexpr char manifestName[] = "manifest";
inline constexpr char signatureName[] = "manifest.sig";

struct ManifestFile {
    QString path;      // relative, "/"-separated, no "." or ".." component
    int mode = 0;      // permission bits, at most 0777
    QByteArray sha256; // lower-case hex
};

struct Manifest {
    QString identifier;
    QString version;
    QByteArray publicKey; // 32 raw bytes
    QList<ManifestFile> files;
};

// The manifest, or none when the text is not one in every detail: a reader
// that guesses would let a forged manifest through.
std::optional<Manifest> parseManifest(const QByteArray &text);

// Whether signature is key's Ed25519 signature of message.
bool verifySignature(const QByteArray &message, const QByteArray &signature,
                     const QByteArray &publicKey);

// The fingerprint that names a signing key: SHA-256 of the raw key, hex.
QString keyFingerprint(const QByteArray &publicKey);

// The manifest of an application folder, if it is signed by the key it names;
// with expectedKey, only when signed by that key.
std::optional<Manifest> readSignedManifest(const QString &appDir,
                                           const QByteArray &expectedKey = {});

// Whether the folder holds exactly the manifest's files, with their contents
// and permission bits, and nothing else besides the folders that hold them.
bool treeMatchesManifest(const QString &appDir, const Manifest &manifest);

} // namespace parlotta
