// The model section of the settings window: the popup of the catalogue, the
// hint under it, and the download's progress.
#include "dictation/transcription_target.h"
#include "models/model_store.h"
#include "settings/settings_controller.h"
#include "settings/settings_window.h"

namespace parlotta {

void SettingsController::rebuildModelPopup()
{
    if (!shown) // the window is not built yet
        return;
    QList<ModelChoice> choices;
    const std::optional<QString> current = catalogue.currentModel();
    if (!current)
        choices.append({QStringLiteral("Choose a model\u2026"), QString()});
    int selected = 0;
    for (const ModelEntry &model : catalogue.models()) {
        QString title = model.name + QStringLiteral("  ") + formatBytes(model.size);
        if (isModelInstalled(model.name))
            title += QStringLiteral(" \u00b7 downloaded");
        if (model.name == current)
            selected = int(choices.size());
        choices.append({title, model.name});
    }
    shown->transcription->setModels(choices, selected);
    updateModelHint();
}

void SettingsController::updateModelHint()
{
    const QString selected = shown->transcription->selectedModel();
    if (chosenTranscriptionTarget().engine == TranscriptionEngine::Remote)
        shown->transcription->setModelHint(QStringLiteral("The model is chosen on the server."));
    else if (catalogue.currentModel() && !selected.isEmpty())
        shown->transcription->setModelHint(modelDescription(
            selected, recommendedModel(machineHasGpu()), measuredModelSpeed(selected)));
    else
        shown->transcription->setModelHint(QStringLiteral("Choose a model to download. ") +
                                           recommendedModel(machineHasGpu()) +
                                           QStringLiteral(" is a good start."));
}

void SettingsController::modelChosen()
{
    const QString name = shown->transcription->selectedModel();
    if (name.isEmpty())
        return;
    updateModelHint();
    if (catalogue.currentModel() != name && !isModelInstalled(name))
        shown->transcription->setDownloadProgress(0, QStringLiteral("Starting download\u2026"));
    catalogue.chooseModel(name);
    refresh();
}

void SettingsController::downloadProgressed(qint64 written, qint64 expected)
{
    if (!shown)
        return;
    if (expected >= 1)
        shown->transcription->setDownloadProgress(int(double(written) / double(expected) * 1000),
                                                  formatBytes(written) + QStringLiteral(" of ") +
                                                      formatBytes(expected));
    else
        shown->transcription->setDownloadProgress(-1, formatBytes(written));
}

} // namespace parlotta
