#include "platform/compositor_bindings.h"
#include "platform/keyboard.h"

#include <QRegularExpression>
#include <QStringList>

namespace parlotta {

QString compositorBindingLines(BindingCompositor compositor, QString program,
                               const QString &keyName, std::uint64_t modifiers)
{
    const bool hyprland = compositor == BindingCompositor::Hyprland;
    // The running daemon is reached over the session bus: nothing in a
    // shared folder can send a binding elsewhere.
    if (program.contains(QRegularExpression(QStringLiteral("[^A-Za-z0-9_./+-]"))))
        program = u'\'' + program.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
    const QString signal = program + QStringLiteral(" --%1");
    QStringList mods;
    const std::pair<std::uint64_t, const char *> names[] = {
        {flagSuper, hyprland ? "SUPER" : "Mod4"},
        {flagControl, hyprland ? "CTRL" : "Ctrl"},
        {flagAlt, hyprland ? "ALT" : "Mod1"},
        {flagShift, hyprland ? "SHIFT" : "Shift"}};
    for (const auto &[flag, text] : names)
        if (modifiers & flag)
            mods << QString::fromLatin1(text);
    if (hyprland) {
        const QString head =
            mods.join(u' ') + QStringLiteral(", ") + keyName + QStringLiteral(", exec, ");
        return QStringLiteral("Add to your Hyprland configuration:\nbind = %1%2\nbindr = %1%3")
            .arg(head, signal.arg(QStringLiteral("press")), signal.arg(QStringLiteral("release")));
    }
    const QString combination = (mods << keyName).join(u'+');
    return QStringLiteral("Add to your sway configuration:\n"
                          "bindsym --no-repeat %1 exec %2\nbindsym --release %1 exec %3")
        .arg(combination, signal.arg(QStringLiteral("press")),
             signal.arg(QStringLiteral("release")));
}

} // namespace parlotta
