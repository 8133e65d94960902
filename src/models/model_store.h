#pragma once

#include <QString>
#include <optional>

namespace parlotta {

// ~/.config/parlotta/models
QString modelDir();
// modelDir + "/current.bin": the link to the active model's file.
QString currentModelLink();

// modelDir + "/ggml-" + name + ".bin"
QString modelPath(const QString &name);
bool isModelInstalled(const QString &name);

// The name of the model current.bin points to (whether or not its file
// exists), or nothing when there is no such link or it names no model file.
std::optional<QString> activeModel();

// The model name in a model file's name ("ggml-NAME.bin"), or nothing.
std::optional<QString> modelNameFromFileName(const QString &fileName);

// Points current.bin at the model's file in one atomic step, then announces
// DaemonEvents::modelActivated. False, logged, when it fails.
bool activateModel(const QString &name);

} // namespace parlotta
