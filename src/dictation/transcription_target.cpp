#include "dictation/transcription_target.h"

#include "core/languages.h"
#include "core/preferences.h"
#include "models/catalogue.h"
#include "models/model_store.h"

#include <QFile>
#include <QUrl>

namespace parlotta {

namespace {

const QString whisperProgram = QStringLiteral("whisper-server");
const QString parakeetProgram = QStringLiteral("parakeet-server");

QString engineName(ModelEngine engine)
{
    return engine == ModelEngine::Parakeet ? QStringLiteral("a Parakeet model")
                                           : QStringLiteral("a whisper model");
}

} // namespace

QString TranscriptionTarget::serverName() const
{
    if (engine == TranscriptionEngine::Remote)
        return endpoint.origin;
    return localServer ? localServer->program : whisperProgram;
}

RequestShape TranscriptionTarget::requestShape(double recordedSeconds) const
{
    const QUrl url(endpoint.url);
    const bool https = url.scheme() == u"https";
    const std::optional<quint16> port =
        endpoint.loopback ? std::optional(quint16(url.port(https ? 443 : 80))) : std::nullopt;
    if (engine != TranscriptionEngine::Remote)
        // Fails only when no byte moves for the whole time; a long transcription is fine.
        return {"http", true, false, requestStallMs, 0, requestStallMs / 1000, true, port};
    return {https ? "https" : "http,https",
            endpoint.loopback,
            true,
            remoteConnectTimeoutMs,
            remoteTimeoutMs(recordedSeconds),
            0,
            false,
            port};
}

bool modelKnowsLanguage(const QString &modelName, const QString &code)
{
    if (isAutomaticLanguage(code) || engineOfModelName(modelName) == ModelEngine::Whisper)
        return true;
    return parakeetKnowsLanguage(modelName.toStdString(), code.toStdString());
}

TranscriptionTarget transcriptionTarget(const TargetInputs &inputs)
{
    TranscriptionTarget target;
    target.languageCode = inputs.languageCode;
    if (inputs.remote) {
        target.engine = TranscriptionEngine::Remote;
        target.endpoint = serverEndpoint(inputs.address, inputs.acceptedPlainOrigin);
        target.problem = target.endpoint.problem;
        target.sendsKey = true;
        if (target.endpoint.protocol == ServerProtocol::OpenAI)
            target.formModel = inputs.remoteModel;
        return target;
    }
    target.endpoint.url = inferenceUrl;
    target.endpoint.loopback = true;
    if (!inputs.modelName) {
        target.problem = noModelYet;
        return target;
    }
    const QString &name = *inputs.modelName;
    const ModelEngine engine = engineOfModelName(name);
    const bool parakeet = engine == ModelEngine::Parakeet;
    target.engine = parakeet ? TranscriptionEngine::Parakeet : TranscriptionEngine::Whisper;
    if (parakeet) {
        // It finds the language itself and takes no prompt: a language it
        // does not know is left to it rather than refused.
        target.sendsPrompt = false;
        if (!modelKnowsLanguage(name, inputs.languageCode))
            target.languageCode = QStringLiteral("auto");
    }
    // The other engine's file would be misread by this engine's server; a file
    // of neither kind is left to the server, which says what is wrong with it.
    if (inputs.fileEngine != engine && inputs.fileEngine != ModelEngine::Unknown) {
        target.problem = QStringLiteral("the file of model %1 holds %2, not %3; choose the model "
                                        "again to download it afresh")
                             .arg(name, engineName(inputs.fileEngine), engineName(engine));
        return target;
    }
    LocalServer server;
    server.program = parakeet ? parakeetProgram : whisperProgram;
    server.executable = parakeet ? inputs.parakeetExecutable : inputs.whisperExecutable;
    server.arguments = {QStringLiteral("--host"),    serverHost,
                        QStringLiteral("--port"),    QString::number(serverPort),
                        QStringLiteral("--model"),   inputs.modelPath,
                        QStringLiteral("--threads"), QStringLiteral("8")};
    if (!parakeet)
        server.arguments << QStringLiteral("--no-timestamps") << QStringLiteral("--language")
                         << QStringLiteral("auto");
    if (parakeet)
        server.model = name;
    target.localServer = server;
    return target;
}

TargetInputs currentTargetInputs()
{
    TargetInputs inputs;
    inputs.remote = preferenceString(prefServer, {}) == u"remote";
    inputs.address = preferenceString(prefServerAddress, {});
    inputs.acceptedPlainOrigin = preferenceString(prefServerPlainHttp, {});
    inputs.remoteModel = preferenceString(prefServerModel, defaultServerModel);
    inputs.languageCode = selectedLanguageCode();
    if (inputs.remote)
        return inputs;
    inputs.modelPath = currentModelLink();
    inputs.modelName = activeModel();
    if (inputs.modelName && QFile::exists(inputs.modelPath))
        inputs.fileEngine = modelEngineOfFile(QFile::encodeName(inputs.modelPath).toStdString());
    else
        inputs.modelName.reset(); // a link to a file since deleted: no model yet
    inputs.whisperExecutable = localServerExecutable(whisperProgram);
    inputs.parakeetExecutable = localServerExecutable(parakeetProgram);
    return inputs;
}

TranscriptionTarget chosenTranscriptionTarget()
{
    return transcriptionTarget(currentTargetInputs());
}

} // namespace parlotta
