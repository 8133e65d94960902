#pragma once

#include "update/release.h"

#include <QString>
#include <optional>

namespace parlotta {

// The running copy's application folder: the parent of the folder holding
// the executable ("Parlotta.app" for a release).
QString applicationDirectory();

// The running copy's signed manifest, read once; none for a development build
// or a copy whose manifest is not signed by the key it names.
const std::optional<Manifest> &runningManifest();

// The version in the running copy's signed manifest; none without one.
std::optional<QString> installedVersion();

// The fingerprint of the key that signed the application folder's manifest;
// none when it carries no valid signature.
std::optional<QString> signingTeam(const QString &appDir);

// Whether the user can replace the application folder: it and the folder
// around it can be written, and no system package owns it.
bool canReplaceApplication(const QString &appDir);

// Unpacks the downloaded archive into a fresh folder beside appDir, checks that
// its Parlotta.app is signed with trustedKey, carries identifier and matches
// its manifest exactly, and swaps it with appDir in one step. False with the
// text that says what failed; appDir is then exactly as it was.
bool installUpdate(const QString &archive, const QString &appDir, const QByteArray &trustedKey,
                   const QString &identifier, QString *error);

// Starts a shell that waits for this process to end and then starts the
// application folder's bin/parlotta, detached, with the control signals at
// their defaults; when that copy cannot start, the shell says so in the log.
// The caller shuts down next, whether or not it started.
void relaunch(const QString &appDir);

// Removes what an update killed halfway left behind: the ".parlotta-update-*"
// folders beside appDir. Nothing ever takes them for anything else.
void removeLeftovers(const QString &appDir);

} // namespace parlotta
