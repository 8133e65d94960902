#include "settings/settings_controller.h"

#include "core/languages.h"
#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "hotkey/event_tap.h"
#include "hotkey/key_codes.h"
#include "hotkey/key_listener.h"
#include "menubar/menu_handler.h"
#include "platform/keyboard.h"
#include "platform/linux/evdev_keyboard.h"
#include "platform/platform.h"
#include "platform/windowing.h"
#include "settings/settings_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QToolButton>

namespace parlotta {

SettingsController *settingsController = nullptr;

SettingsController::SettingsController(ModelCatalogue &catalogue)
    : catalogue(catalogue)
{
    connect(&catalogue, &ModelCatalogue::changed, this, [this] {
        rebuildModelPopup();
        refresh();
    });
    connect(&catalogue, &ModelCatalogue::progressed, this, &SettingsController::downloadProgressed);
    connect(&catalogue, &ModelCatalogue::downloadFailed, this, &SettingsController::downloadFailed);
}

void SettingsController::buildWindow()
{
    window = new SettingsWindow(this);
    refresh();
    // Centred once; later openings keep where the user put it.
    window->adjustSize();
    if (const QScreen *screen = window->screen())
        window->move(screen->availableGeometry().center() - window->rect().center());
}

void SettingsController::show()
{
    if (!window)
        buildWindow();
    catalogue.fetchModelList(); // afresh at every opening
    refresh();
    window->show();
    window->raise();
    window->activateWindow();
    activateWindowForUser(window->windowHandle());
}

void SettingsController::refresh()
{
    if (!window)
        return;
    const std::int64_t hotkey = selectedHotkey();
    if (isRecordingHotkey)
        hotkeyButton->setText(QStringLiteral("Press a key\u2026"));
    else if (hotkey == hotkeyNone)
        hotkeyButton->setText(QStringLiteral("Record Hotkey"));
    else
        // A key may be named "&" (the 1 key on AZERTY), which a button
        // would take for a mnemonic marker.
        hotkeyButton->setText(
            hotkeyName(hotkey, selectedHotkeyModifiers()).replace(u'&', QStringLiteral("&&")));
    clearHotkeyButton->setVisible(hotkey != hotkeyNone && !isRecordingHotkey);
    const QString refusal = hotkey == hotkeyNone ? QString() : hotkeyRefusal();
    accessibilityRow->setVisible(!eventTapActive || !refusal.isEmpty());
    hotkeyRefusalLabel->setText(
        refusal.isEmpty() ? QString()
                          : QStringLiteral("The desktop did not bind this hotkey: ") + refusal);
    hotkeyRefusalLabel->setVisible(!refusal.isEmpty());
    const QString setup = keyListener().setupInstructions(hotkey, selectedHotkeyModifiers());
    desktopHint->setText(setup);
    desktopHint->setVisible(!setup.isEmpty());
    languagePopup->setCurrentIndex(languageRow(selectedLanguageCode()));
    {
        // Showing a state is not choosing it.
        const QSignalBlocker quietShow(showLanguageCheckbox);
        const QSignalBlocker quietLogin(loginCheckbox);
        showLanguageCheckbox->setChecked(showLanguageCodeEnabled());
        loginCheckbox->setChecked(openAtLoginEnabled());
    }
    // X11 shows every key already; on Wayland this is the one way to see them all.
    const bool wayland = Session::fromEnvironment().kind == Session::Kind::Wayland;
    const bool direct = preferenceBool(prefReadKeyboard, false);
    directKeyboardCheckbox->setVisible(wayland);
    directKeyboardHint->setVisible(wayland);
    {
        const QSignalBlocker quiet(directKeyboardCheckbox);
        directKeyboardCheckbox->setChecked(direct);
    }
    QString about = QStringLiteral(
        "Sees every key in every window, right Alt alone and every release included, on any "
        "desktop; but it cannot keep the hotkey from the focused window, and any program you "
        "run can read what you type. No key counts while the screen is locked where the lock "
        "is reported to the login manager (GNOME, KDE; swaylock and hyprlock do not report "
        "it). Takes effect when Parlotta starts next.");
    if (direct && !EvdevKeyboardHook::userMayRead())
        about += QStringLiteral("\nYour account must be in the input group: run "
                                "\u201csudo usermod -aG input $USER\u201d, then log out and in "
                                "again.");
    directKeyboardHint->setText(about);
    downloadRow->setVisible(catalogue.downloadingModel().has_value());
    window->adjustSize();
}

void SettingsController::windowWillClose()
{
    stopRecordingHotkey();
    refresh();
}

void SettingsController::grantAccessibility()
{
    openAccessibilityPreferences();
}

void SettingsController::languageChanged()
{
    const QString code = languageCode(languagePopup->currentIndex());
    setPreference(prefLanguage, code);
    log(QStringLiteral("Language set to: ") + code);
    menuHandler->rebuildMenu();
}

void SettingsController::showLanguageChanged()
{
    const bool on = showLanguageCheckbox->isChecked();
    setPreference(prefShowLanguage, on);
    log(QStringLiteral("Show language code ") +
        (on ? QStringLiteral("enabled") : QStringLiteral("disabled")));
    menuHandler->rebuildMenu();
}

void SettingsController::directKeyboardChanged()
{
    const bool on = directKeyboardCheckbox->isChecked();
    setPreference(prefReadKeyboard, on);
    log(QStringLiteral("Reading the keyboard directly ") +
        (on ? QStringLiteral("enabled") : QStringLiteral("disabled")) +
        QStringLiteral(" from the next start"));
    refresh();
}

void SettingsController::loginChanged()
{
    setOpenAtLogin(loginCheckbox->isChecked());
    // The checkbox shows what is registered now: a refused change springs back.
    refresh();
}

// Hotkey capture ------------------------------------------------------------

void SettingsController::hotkeyButtonClicked()
{
    if (isRecordingHotkey) {
        stopRecordingHotkey();
        refresh();
        return;
    }
    if (!eventTapActive) {
        openAccessibilityPreferences();
        return;
    }
    QPointer<SettingsController> self(this);
    QString error;
    const quint64 capture = ++captureNumber;
    const bool capturing = beginHotkeyCapture(
        [self, capture](std::optional<ActiveHotkey> result) {
            // On the key listener's thread: the rest happens on the main thread.
            QMetaObject::invokeMethod(
                qApp,
                [self, capture, result] {
                    if (self)
                        self->captured(capture, result);
                },
                Qt::QueuedConnection);
        },
        &error);
    if (!capturing) {
        log(QStringLiteral("ERROR: could not record a hotkey: ") + error);
        return;
    }
    isRecordingHotkey = true;
    if (keyListener().capturesFromOwnWindow()) {
        captureKeyFromWindow(-1, false);
        qApp->installEventFilter(this);
    }
    refresh();
}

bool SettingsController::eventFilter(QObject *, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto *key = static_cast<const QKeyEvent *>(event);
    // Qt sees a key once per window it passes through; the repeats add nothing.
    if (!key->isAutoRepeat() && key->spontaneous() && key->nativeScanCode() > 8)
        captureKeyFromWindow(int(key->nativeScanCode()) - 8, event->type() == QEvent::KeyPress);
    return true;
}

void SettingsController::captured(quint64 capture, std::optional<ActiveHotkey> result)
{
    // That capture already ended (second click, window closed, an earlier
    // result), even if another one runs now.
    if (!isRecordingHotkey || capture != captureNumber)
        return;
    stopRecordingHotkey();
    if (result)
        setHotkey(result->code, result->modifiers);
    refresh();
}

void SettingsController::stopRecordingHotkey()
{
    if (isRecordingHotkey)
        endHotkeyCapture();
    isRecordingHotkey = false;
    qApp->removeEventFilter(this);
}

void SettingsController::clearHotkey()
{
    setHotkey(hotkeyNone, 0);
    refresh();
    menuHandler->rebuildMenu();
}

} // namespace parlotta
