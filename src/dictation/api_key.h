#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace parlotta {

// Where the transcription server's API key is kept: the desktop's secret
// service, or, on a desktop without one, a file only the user can read. Never
// in the preferences file, never in the log.
enum class KeyStore { SecretService, PrivateFile };

// $XDG_CONFIG_HOME/parlotta/api-key, mode 0600: only without a secret service.
QString apiKeyFilePath();

// Reads the key once, at start-up; returns at once. read, if given, is called
// once the key has been read (at once if it has), however long the keyring takes.
void loadApiKey(std::function<void()> read = {});
// Calls use with the key (empty when none is set) once it has been read.
void withApiKey(std::function<void(const QByteArray &key)> use);
bool hasApiKey();
KeyStore apiKeyStore();

// Stores a new key (empty: removes it) and calls done on the main thread with
// what the settings window should say; the key is in use at once.
void storeApiKey(const QString &key, std::function<void(const QString &outcome)> done);
// The window's line on where the key is kept, or empty with none.
QString apiKeyWhereabouts();

} // namespace parlotta
