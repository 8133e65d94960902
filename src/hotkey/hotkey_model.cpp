#include "hotkey/hotkey_model.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "hotkey/key_listener.h"
#include "platform/linux/key_codes.h"

#include <mutex>

namespace parlotta {

const QMap<std::int64_t, std::uint64_t> modifierMasks = {
    {59, 0x1},  {56, 0x2},  {60, 0x4},    {55, 0x8},      {54, 0x10},
    {58, 0x20}, {61, 0x40}, {62, 0x2000}, {63, 0x800000},
};

const QMap<std::int64_t, std::uint64_t> modifierFlags = {
    {56, flagShift}, {60, flagShift}, {59, flagControl}, {62, flagControl},
    {58, flagAlt},   {61, flagAlt},   {55, flagSuper},   {54, flagSuper},
};

const QMap<std::int64_t, QString> specialKeyNames = {
    {61, QStringLiteral("Right Alt")},
    {58, QStringLiteral("Left Alt")},
    {54, QStringLiteral("Right Super")},
    {55, QStringLiteral("Left Super")},
    {62, QStringLiteral("Right Control")},
    {59, QStringLiteral("Left Control")},
    {60, QStringLiteral("Right Shift")},
    {56, QStringLiteral("Left Shift")},
    {63, QStringLiteral("Fn")},
    {122, QStringLiteral("F1")},
    {120, QStringLiteral("F2")},
    {99, QStringLiteral("F3")},
    {118, QStringLiteral("F4")},
    {96, QStringLiteral("F5")},
    {97, QStringLiteral("F6")},
    {98, QStringLiteral("F7")},
    {100, QStringLiteral("F8")},
    {101, QStringLiteral("F9")},
    {109, QStringLiteral("F10")},
    {103, QStringLiteral("F11")},
    {111, QStringLiteral("F12")},
    {105, QStringLiteral("F13")},
    {107, QStringLiteral("F14")},
    {113, QStringLiteral("F15")},
    {106, QStringLiteral("F16")},
    {64, QStringLiteral("F17")},
    {79, QStringLiteral("F18")},
    {80, QStringLiteral("F19")},
    {90, QStringLiteral("F20")},
    {49, QStringLiteral("Space")},
    {36, QStringLiteral("Return")},
    {48, QStringLiteral("Tab")},
    {53, QStringLiteral("Escape")},
    {51, QStringLiteral("Delete")},
    {117, QStringLiteral("Forward Delete")},
    {114, QStringLiteral("Help")},
    {115, QStringLiteral("Home")},
    {119, QStringLiteral("End")},
    {116, QStringLiteral("Page Up")},
    {121, QStringLiteral("Page Down")},
    {123, QStringLiteral("\u2190")},
    {124, QStringLiteral("\u2192")},
    {126, QStringLiteral("\u2191")},
    {125, QStringLiteral("\u2193")},
};

namespace {

std::mutex hotkeyLock;

std::int64_t activeHotkey = defaultHotkey;
std::uint64_t activeHotkeyModifiers = 0;
CaptureHandler captureHandler;

} // namespace

void setCaptureHandler(CaptureHandler handler)
{
    std::lock_guard lock(hotkeyLock);
    captureHandler = std::move(handler);
}

CaptureHandler captureHandlerSnapshot()
{
    std::lock_guard lock(hotkeyLock);
    return captureHandler;
}

bool beginHotkeyCapture(CaptureHandler handler, QString *error)
{
    // The handler first: a key taken up between the two goes to capture, not push-to-talk.
    setCaptureHandler(std::move(handler));
    if (keyListener().beginCapture(error))
        return true;
    setCaptureHandler({});
    return false;
}

void endHotkeyCapture()
{
    setCaptureHandler({});
    keyListener().endCapture();
}

ActiveHotkey activeHotkeySnapshot()
{
    std::lock_guard lock(hotkeyLock);
    return {activeHotkey, activeHotkeyModifiers};
}

void setActiveHotkey(std::int64_t code, std::uint64_t modifiers)
{
    {
        std::lock_guard lock(hotkeyLock);
        activeHotkey = code;
        activeHotkeyModifiers = modifiers;
    }
    keyListener().bind(code, modifiers);
}

namespace {
constexpr std::pair<HotkeyMode, const char *> modeNames[] = {
    {HotkeyMode::Hold, "hold"}, {HotkeyMode::Toggle, "toggle"}, {HotkeyMode::Both, "both"}};
} // namespace

HotkeyMode selectedHotkeyMode()
{
    const QString stored = preferenceString(prefHotkeyMode, QString()).trimmed().toLower();
    for (const auto &[mode, name] : modeNames)
        if (stored == QLatin1String(name))
            return mode;
    return HotkeyMode::Hold;
}

QString hotkeyModeName(HotkeyMode mode)
{
    for (const auto &[each, name] : modeNames)
        if (each == mode)
            return QString::fromLatin1(name);
    return QStringLiteral("hold");
}

std::int64_t selectedHotkey()
{
    const StoredInteger stored = preferenceInteger(prefHotkey);
    // Where right Alt is AltGr, it types "@", "€" or "[" all day: each would
    // open the microphone, so the default there is right Control.
    // KDE binds a modifier alone only as both sides, and takes it from every
    // application: F9 there, a key it reports pressed and released.
    if (!stored.present && !keyListener().bindsModifierAlone())
        return defaultHotkeyForShortcuts;
    if (!stored.present)
        return isLevel3Shift(defaultHotkey) ? defaultHotkeyBesideAltGr : defaultHotkey;
    if (!stored.value || *stored.value < hotkeyNone || *stored.value > 65535)
        return hotkeyNone;
    // Earlier versions stored a key without a virtual code as 256 + its X keycode.
    if (*stored.value >= 256 && *stored.value < keyWithoutCounterpart) {
        const int evdev = evdevFromVirtualKey(*stored.value);
        return evdev < 0 ? hotkeyNone : virtualKeyFromEvdev(evdev);
    }
    return *stored.value;
}

std::uint64_t selectedHotkeyModifiers()
{
    const StoredInteger stored = preferenceInteger(prefHotkeyModifiers);
    if (!stored.value || *stored.value < 0)
        return 0;
    return std::uint64_t(*stored.value);
}

void setHotkey(std::int64_t code, std::uint64_t modifiers)
{
    setPreferences({{prefHotkey, qint64(code)}, {prefHotkeyModifiers, qint64(modifiers)}});
    setActiveHotkey(code, modifiers);
    log(QStringLiteral("Hotkey set to: %1 (code %2, modifiers %3)")
            .arg(hotkeyName(code, modifiers))
            .arg(code)
            .arg(modifiers));
}

QString keyName(std::int64_t code)
{
    if (code == hotkeyNone)
        return QStringLiteral("None");
    if (const auto it = specialKeyNames.constFind(code); it != specialKeyNames.cend())
        return *it;
    if (const QString typed = keyCharacter(code); !typed.isEmpty())
        return typed.toUpper();
    return QStringLiteral("Key %1").arg(code);
}

QString hotkeyName(std::int64_t code, std::uint64_t modifiers)
{
    if (code == hotkeyNone)
        return QStringLiteral("None");
    QString prefix;
    if (modifiers & flagControl)
        prefix += QLatin1String("Ctrl+");
    if (modifiers & flagAlt)
        prefix += QLatin1String("Alt+");
    if (modifiers & flagShift)
        prefix += QLatin1String("Shift+");
    if (modifiers & flagSuper)
        prefix += QLatin1String("Super+");
    return prefix + keyName(code);
}

} // namespace parlotta
