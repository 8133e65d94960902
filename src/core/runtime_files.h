#pragma once

#include <QByteArray>
#include <QString>

namespace parlotta {

// The fixed runtime directory and its files. Outside tools find the daemon here.
inline QString commandDir = QStringLiteral("/tmp/parlotta");
inline QString outputPath = QStringLiteral("/tmp/parlotta/recording.wav");
inline QString logPath = QStringLiteral("/tmp/parlotta/helper.log");
inline QString pidPath = QStringLiteral("/tmp/parlotta/helper-pid");
inline QString serverLogPath = QStringLiteral("/tmp/parlotta/server.log");
inline QString serverPidPath = QStringLiteral("/tmp/parlotta/server-pid");

// Points every runtime path into dir instead of /tmp/parlotta: for a daemon
// whose /tmp/parlotta another account took first, and for unit tests, which
// must never touch the files of a daemon the developer runs.
void moveRuntimeFiles(const QString &dir);

// Creates the runtime directory (the daemon's is commandDir) with mode 0700, or
// tightens an existing one to 0700. /tmp is shared by every local user, so
// anything at that path that is not a real directory owned by us (a symlink,
// another user's directory) is refused and never written through. Returns
// false with a reason in *error.
bool prepareRuntimeDir(const QString &dir, QString *error);

// Opens a file in commandDir without following a symlink there. A symlink in
// the file's place is removed (the link, never its target) and the file made
// anew. Returns the descriptor (close-on-exec) or -1 with errno set.
int openRuntimeFile(const QString &path, int flags, int mode = 0600);

// Replaces path with bytes in one rename, so readers see the old or the new
// content, never a partial file; a symlink at path is replaced, not followed.
// False with a reason in *error when it fails.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error);

} // namespace parlotta
