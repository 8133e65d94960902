#pragma once

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

inline const QString recommendedModel = QStringLiteral("large-v3-turbo");

// The built-in catalogue, used until the model hub's listing arrives.
extern const QList<ModelEntry> fallbackModels;

// The model hub: its base address (HF_ENDPOINT when set, the mirror convention
// of the hub's own tools; else the build's PARLOTTA_HUB_URL), and on a hub the
// listing of the whisper.cpp model repository and the base its files are fetched from.
QString hubURL();
QString modelListURL(const QString &hub);
QString modelBaseURL(const QString &hub);

// What the hub's listing says of its model files.
struct ModelListing {
    QList<ModelEntry> models;          // in listing order
    QHash<QString, QByteArray> sha256; // by name, lower-case hex, where the hub gives it
};
// Parses the listing: a JSON array of objects, of which those whose "path" is
// "ggml-NAME.bin" and whose "size" is a number are models. None when the body
// is not such an array (one element of another kind rejects it all).
std::optional<ModelListing> parseModelListing(const QByteArray &body);

// The models plus every installed model file they lack, in catalogue order:
// by size, then by name.
QList<ModelEntry> mergedWithInstalledModels(QList<ModelEntry> models);

// "75 MB" below 1 GiB (whole MiB, truncated), else "1.5 GB".
QString formatBytes(qint64 bytes);

// What a model is, in phrases joined by " · ": speed and accuracy, compression,
// languages, and "recommended" for the recommended model.
QString modelDescription(const QString &name);

} // namespace parlotta
