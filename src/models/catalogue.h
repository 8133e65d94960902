#pragma once

#include "models/model_header.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <optional>

namespace parlotta {

// A speech model: its short name (the NAME of ggml-NAME.bin) and its file
// size in bytes, 0 when unknown.
struct ModelEntry {
    QString name;
    qint64 size = 0;
    bool operator==(const ModelEntry &) const = default;
};

// The model a new user is pointed to: whisper's large-v3-turbo where a GPU
// computes it, else Parakeet, which encodes only what was said and is the
// more accurate of the two on a CPU.
QString recommendedModel(bool gpu);
// Whether this computer has a GPU the servers may use (a DRM render node).
bool machineHasGpu();

// The engine a model's name stands for: "parakeet-…" is Parakeet, any other whisper.
ModelEngine engineOfModelName(const QString &name);

// The built-in catalogue, used until the model hub's listing arrives.
extern const QList<ModelEntry> fallbackModels;

// The model hub: its base address (HF_ENDPOINT when set, the mirror convention
// of the hub's own tools; else the build's PARLOTTA_HUB_URL), and on a hub the
// listing of an engine's model repository (whisper.cpp's, or the Parakeet
// one) and the base its files are fetched from.
QString hubURL();
QString modelListURL(const QString &hub, ModelEngine engine);
QString modelBaseURL(const QString &hub, ModelEngine engine);

// What the hub's listing says of its model files.
struct ModelListing {
    QList<ModelEntry> models;          // in listing order
    QHash<QString, QByteArray> sha256; // by name, lower-case hex, where the hub gives it
};
// Parses the listing: a JSON array of objects, of which those whose "path" is
// "ggml-NAME.bin", NAME one of the engine's, and whose "size" is a number are
// models. None when the body is not such an array (one element of another kind
// rejects it all).
std::optional<ModelListing> parseModelListing(const QByteArray &body,
                                              ModelEngine engine = ModelEngine::Whisper);

// The models plus every installed model file they lack, in catalogue order:
// by size, then by name.
QList<ModelEntry> mergedWithInstalledModels(QList<ModelEntry> models);

// "75 MB" below 1 GiB (whole MiB, truncated), else "1.5 GB".
QString formatBytes(qint64 bytes);

// What a model is, in phrases joined by " · ": its engine, speed and accuracy,
// compression, languages, how fast it ran here (secondsPer5s, when measured:
// the Parakeet server's warm-up pass), and "recommended" for the recommended model.
QString modelDescription(const QString &name, const QString &recommended,
                         std::optional<double> secondsPer5s = std::nullopt);
// The time the model's warm-up pass took here, per 5 s of audio, as last measured.
std::optional<double> measuredModelSpeed(const QString &name);
void storeModelSpeed(const QString &name, double secondsPer5s);

} // namespace parlotta
