#include "platform/key_injector.h"

#include <QSet>

namespace parlotta {

bool isTerminalWindowClass(const QByteArray &instance, const QByteArray &className)
{
    static const QSet<QByteArray> terminals = {
        "xterm",
        "uxterm",
        "urxvt",
        "rxvt",
        "gnome-terminal",
        "gnome-terminal-server",
        "konsole",
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
        "eterm",
        "io.elementary.terminal",
        "contour",
        "blackbox",
        "termite",
        "hyper",
        "tabby",
    };
    return terminals.contains(instance.toLower()) || terminals.contains(className.toLower());
}

} // namespace parlotta
