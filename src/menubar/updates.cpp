// The update offer and messages, as the tray menu shows them.
#include "menubar/menu_handler.h"
#include "menubar/plain_text.h"
#include "platform/windowing.h"
#include "update/installer.h"

#include <QMessageBox>
#include <QPushButton>

namespace parlotta {

void MenuHandler::checkForUpdatesClicked()
{
    updates.checkForUpdate(true);
}

void MenuHandler::updateMenuItemClicked()
{
    showUpdateAlert(std::nullopt, std::nullopt);
}

void MenuHandler::showUpdateAlert(std::optional<QString> remoteVersion,
                                  std::optional<QString> localVersion)
{
    const QString remote =
        remoteVersion.value_or(updates.updateAvailable().value_or(QStringLiteral("unknown")));
    const QString local =
        localVersion.value_or(installedVersion().value_or(QStringLiteral("unknown")));
    QMessageBox box(QMessageBox::Information, QStringLiteral("Parlotta"),
                    QStringLiteral("A new version of Parlotta is available!"));
    box.setInformativeText(QStringLiteral("Version %1 is now available \u2014 you have %2. Would "
                                          "you like to install it now?")
                               .arg(remote, local));
    QPushButton *install = box.addButton(QStringLiteral("Install Update"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Remind Me Later"), QMessageBox::RejectRole);
    box.setDefaultButton(install);
    usePlainText(box);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    activateWindowForUser(box.windowHandle());
    box.exec();
    if (box.clickedButton() == install)
        updates.performUpdate();
}

void MenuHandler::showUpdateMessage(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Information, title, title, QMessageBox::Ok);
    box.setInformativeText(text);
    usePlainText(box);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    activateWindowForUser(box.windowHandle());
    box.exec();
}

} // namespace parlotta
