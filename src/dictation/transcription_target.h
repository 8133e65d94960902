#pragma once

#include "dictation/transcription_server.h"
#include "models/model_header.h"
#include "server/server.h"

#include <QString>
#include <optional>

namespace parlotta {

// What transcribes a dictation.
enum class TranscriptionEngine { Whisper, Parakeet, Remote };

// Everything a dictation's route depends on, as read from the preferences,
// the model folder and the installed programs.
struct TargetInputs {
    bool remote = false; // "Another server" chosen
    QString address;     // its address, and the plain-http origin the user accepted
    QString acceptedPlainOrigin;
    QString remoteModel;                           // the OpenAI-compatible form's model name
    std::optional<QString> modelName;              // the active model here, if any
    QString modelPath;                             // the link to its file
    ModelEngine fileEngine = ModelEngine::Unknown; // what the file turned out to be
    QString languageCode;                          // the language chosen in the menu ("auto" too)
    QString whisperExecutable;                     // the servers found; empty when missing
    QString parakeetExecutable;
};

// How a request travels and how its failures read. The server run here is
// ours: nothing stands between, it takes as long as it computes, and silence
// from it reads as an empty answer. Another server is held to its scheme and
// time limits, and its failures are named by its origin.
struct RequestShape {
    QByteArray protocols;                // what curl may speak
    bool direct = true;                  // never through the environment's proxy
    bool certificateEnvironment = false; // SSL_CERT_FILE and SSL_CERT_DIR apply
    long connectTimeoutMs = 0;
    long long timeoutMs = 0; // the whole exchange; 0: no limit
    long stallSeconds = 0;   // given up when nothing moves this long; 0: never
    bool ownServer = false;
    std::optional<quint16> checkedPort; // a port here, checked for another user's listener
};

// Where a dictation goes and how it is asked for.
struct TranscriptionTarget {
    TranscriptionEngine engine = TranscriptionEngine::Whisper;
    // Where the form is posted; for another server also its origin, protocol
    // and whether it is on this computer.
    ServerEndpoint endpoint;
    // The program the supervisor runs here; empty for another server, or when
    // none can run (problem says why).
    std::optional<LocalServer> localServer;
    QString problem;
    QString formModel;    // the OpenAI-compatible form's "model"; empty otherwise
    QString languageCode; // what the form's "language" says
    bool sendsPrompt = true;
    bool sendsKey = false; // the API key goes along (another server only)
    // What log lines call the server: another server's origin, or the program here.
    QString serverName() const;
    RequestShape requestShape(double recordedSeconds) const;
};

// The problem when no model is active here.
inline const QString noModelYet = QStringLiteral("No model selected yet");

// Whether the engine knows a language ("auto" always): whisper all of its
// table, a Parakeet model those it was trained on.
bool modelKnowsLanguage(const QString &modelName, const QString &code);

// The one decision of what transcribes, from its inputs.
TranscriptionTarget transcriptionTarget(const TargetInputs &inputs);
// The same from the preferences, the active model and the installed servers now.
TranscriptionTarget chosenTranscriptionTarget();
// The inputs as they are now (the model file's head is read).
TargetInputs currentTargetInputs();

} // namespace parlotta
