#pragma once

#include <QList>
#include <QString>

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

// The models plus every installed model file they lack, in catalogue order:
// by size, then by name.
QList<ModelEntry> mergedWithInstalledModels(QList<ModelEntry> models);

// "75 MB" below 1 GiB (whole MiB, truncated), else "1.5 GB".
QString formatBytes(qint64 bytes);

// What a model is, in phrases joined by " · ": speed and accuracy, compression,
// languages, and "recommended" for the recommended model.
QString modelDescription(const QString &name);

} // namespace parlotta
