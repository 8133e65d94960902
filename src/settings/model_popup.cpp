// The model section of the settings window: the popup of the catalogue, the
// hint under it, and the download's progress.
#include "menubar/plain_text.h"
#include "models/model_store.h"
#include "settings/settings_controller.h"
#include "settings/settings_window.h"

#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>

namespace parlotta {

void SettingsController::rebuildModelPopup()
{
    if (!modelPopup) // the window is not built yet
        return;
    modelPopup->clear();
    for (const ModelEntry &model : catalogue.models()) {
        QString title = model.name + QStringLiteral("  ") + formatBytes(model.size);
        if (isModelInstalled(model.name))
            title += QStringLiteral(" \u00b7 downloaded");
        modelPopup->addItem(title, model.name);
    }
    const std::optional<QString> current = catalogue.currentModel();
    if (!current)
        modelPopup->insertItem(0, QStringLiteral("Choose a model\u2026"));
    modelPopup->setCurrentIndex(current ? std::max(0, modelPopup->findData(*current)) : 0);
    updateModelHint();
}

void SettingsController::updateModelHint()
{
    const QVariant selected = modelPopup->currentData();
    if (catalogue.currentModel() && selected.typeId() == QMetaType::QString)
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
    if (catalogue.currentModel() != name && !isModelInstalled(name)) {
        downloadProgress->setValue(0);
        downloadLabel->setText(QStringLiteral("Starting download\u2026"));
    }
    catalogue.chooseModel(name);
    refresh();
}

void SettingsController::downloadProgressed(qint64 written, qint64 expected)
{
    if (expected >= 1) {
        downloadProgress->setValue(int(double(written) / double(expected) * 1000));
        downloadLabel->setText(formatBytes(written) + QStringLiteral(" of ") +
                               formatBytes(expected));
    } else {
        downloadLabel->setText(formatBytes(written));
    }
}

void SettingsController::downloadFailed(const QString &message)
{
    if (window && window->isVisible()) {
        auto *sheet = new QMessageBox(QMessageBox::Warning, QStringLiteral("Download Failed"),
                                      QStringLiteral("Download Failed"), QMessageBox::Ok, window);
        sheet->setInformativeText(message);
        usePlainText(*sheet);
        sheet->setWindowModality(Qt::WindowModal);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->open();
    }
}

} // namespace parlotta
