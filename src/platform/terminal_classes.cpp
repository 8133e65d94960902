#include "platform/terminal_classes.h"

#include <QSet>

namespace parlotta {

KeyInjector::Keystroke pasteKeystrokeForWindowClass(const QByteArray &instance,
                                                    const QByteArray &className)
{
    static const QSet<QByteArray> primaryTerminals = {
        "xterm", "uxterm", "urxvt", "rxvt", "eterm",
    };
    static const QSet<QByteArray> terminals = {
        "gnome-terminal",
        "gnome-terminal-server",
        "konsole",
        "org.kde.konsole", // Wayland application ids from here on
        "org.kde.yakuake",
        "org.gnome.terminal",
        "org.xfce.terminal",
        "com.raggesilver.blackbox",
        "xfce4-terminal",
        "alacritty",
        "kitty",
        "terminator",
        "tilix",
        "com.gexperts.tilix",
        "wezterm",
        "org.wezfurlong.wezterm",
        "foot",
        "footclient",
        "st",
        "st-256color",
        "lxterminal",
        "mate-terminal",
        "qterminal",
        "terminology",
        "sakura",
        "guake",
        "tilda",
        "yakuake",
        "kgx",
        "org.gnome.console",
        "ptyxis",
        "org.gnome.ptyxis",
        "ghostty",
        "com.mitchellh.ghostty",
        "deepin-terminal",
        "cool-retro-term",
        "io.elementary.terminal",
        "contour",
        "blackbox",
        "termite",
        "hyper",
        "tabby",
    };
    const auto named = [&](const QSet<QByteArray> &names) {
        return names.contains(instance.toLower()) || names.contains(className.toLower());
    };
    if (named(primaryTerminals))
        return KeyInjector::Keystroke::ShiftInsert;
    if (named(terminals))
        return KeyInjector::Keystroke::ControlShiftV;
    return KeyInjector::Keystroke::ControlV;
}

} // namespace parlotta
