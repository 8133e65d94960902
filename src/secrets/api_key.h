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
// Calls use with the key for the server at origin once it has been read:
// empty when none is set, or when the key was given for another origin (a key
// stored before keys had an origin is taken as given for this one).
void withApiKey(const QString &origin, std::function<void(const QByteArray &key)> use);
bool hasApiKey();
// The origin the key was given for; empty without one.
QString apiKeyOrigin();
KeyStore apiKeyStore();

// Stores a new key for the server at origin (empty key: removes it) and calls
// done on the main thread with what the settings window should say; a new key
// is in use at once, a removed one once the keyring let it go.
void storeApiKey(const QString &key, const QString &origin,
                 std::function<void(const QString &outcome)> done);
// The window's line on where the key is kept and which server it is for, as
// seen from the server at origin; empty with none.
QString apiKeyWhereabouts(const QString &origin);

// Whether a removal went through, from the keyring's answer and where the key
// was kept: a key the keyring does not hold is gone; without a secret service
// it was the file's to hold.
bool keyRemoved(int keychainError, KeyStore store);

} // namespace parlotta
