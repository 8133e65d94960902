// The model section of the settings window: the popup of the catalogue and
// the hint under it.
#include "models/model_store.h"
#include "settings/settings_controller.h"
#include "settings/settings_window.h"

#include <QComboBox>
#include <QLabel>

namespace parlotta {

void SettingsController::rebuildModelPopup()
{
    if (!modelPopup) // the window is not built yet
        return;
    modelPopup->clear();
    for (const ModelEntry &model : std::as_const(models)) {
        QString title = model.name + QStringLiteral("  ") + formatBytes(model.size);
        if (isModelInstalled(model.name))
            title += QStringLiteral(" \u00b7 downloaded");
        modelPopup->addItem(title, model.name);
    }
    const std::optional<QString> current = downloadingModel ? downloadingModel : activeModel();
    if (!current)
        modelPopup->insertItem(0, QStringLiteral("Choose a model\u2026"));
    modelPopup->setCurrentIndex(current ? std::max(0, modelPopup->findData(*current)) : 0);
    updateModelHint();
}

void SettingsController::updateModelHint()
{
    const QVariant selected = modelPopup->currentData();
    if ((activeModel() || downloadingModel) && selected.typeId() == QMetaType::QString)
        setHintText(modelHint, modelDescription(selected.toString()));
    else
        setHintText(modelHint, QStringLiteral("Choose a model to download. ") + recommendedModel +
                                   QStringLiteral(" is a good start."));
}

void SettingsController::modelChanged()
{
    const QVariant selected = modelPopup->currentData();
    if (selected.typeId() != QMetaType::QString)
        return;
    updateModelHint();
    const QString name = selected.toString();
    const std::optional<QString> current = downloadingModel ? downloadingModel : activeModel();
    if (current == name)
        return;
    if (downloadingModel)
        cancelDownload();
    if (isModelInstalled(name)) {
        activateModel(name);
        rebuildModelPopup();
    } else {
        startDownload(name);
    }
    refresh();
}

} // namespace parlotta
