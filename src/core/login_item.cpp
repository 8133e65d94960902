#include "core/login_item.h"

#include "core/log.h"
#include "core/runtime_files.h"
#include "core/system_error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <unistd.h>

namespace parlotta {

namespace {

QString entryText()
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Parlotta\n"
                          "Comment=Push-to-talk dictation\n"
                          "Exec=%1\n"
                          "Icon=parlotta\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(desktopExecValue(QCoreApplication::applicationFilePath()));
}

bool registerEntry(QString *error)
{
    const QString path = autostartFilePath();
    if (!QDir().mkpath(QFileInfo(path).path())) {
        *error = QStringLiteral("cannot create %1").arg(QFileInfo(path).path());
        return false;
    }
    return writeFileAtomically(path, entryText().toUtf8(), error);
}

bool unregisterEntry(QString *error)
{
    if (::unlink(QFile::encodeName(autostartFilePath()).constData()) != 0) {
        *error = systemErrorText();
        return false;
    }
    return true;
}

} // namespace

QString autostartFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/parlotta.desktop");
}

QString desktopExecValue(const QString &program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (std::none_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); }))
        return program;
    QString quoted;
    for (QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    // The value itself is a desktop-file string, where a backslash is escaped once more.
    quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    return u'"' + quoted + u'"';
}

QString desktopExecProgram(const QString &exec)
{
    QString value = exec.trimmed();
    value.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
    if (!value.startsWith(u'"'))
        return value.section(u' ', 0, 0);
    QString program;
    for (qsizetype i = 1; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size())
            program += value[++i];
        else if (value[i] == u'"')
            break;
        else
            program += value[i];
    }
    return program;
}

void installApplicationEntry()
{
    const QString name = QStringLiteral("com.parlotta.app.desktop");
    if (!QStandardPaths::locate(QStandardPaths::ApplicationsLocation, name).isEmpty())
        return;
    QFile packaged(QStringLiteral(":/parlotta/com.parlotta.app.desktop"));
    if (!packaged.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = packaged.readAll().replace(
        "\nExec=parlotta\n",
        "\nExec=" + desktopExecValue(QCoreApplication::applicationFilePath()).toUtf8() + '\n');
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    const QString path = dir + u'/' + name;
    QString error;
    if (QDir().mkpath(dir) && writeFileAtomically(path, text, &error))
        log(QStringLiteral("Application entry installed: %1 (the desktop reads it at the next "
                           "login)")
                .arg(path));
    else
        log(QStringLiteral("ERROR: could not install the application entry %1: %2")
                .arg(path, error.isEmpty() ? QStringLiteral("cannot create ") + dir : error));
}

void setOpenAtLogin(bool enabled)
{
    QString error;
    if (enabled ? registerEntry(&error) : unregisterEntry(&error))
        log(enabled ? QStringLiteral("Open at login enabled")
                    : QStringLiteral("Open at login disabled"));
    else
        log(QStringLiteral("ERROR: could not change open at login: ") + error);
}

bool openAtLoginEnabled()
{
    QFile file(autostartFilePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    QString exec;
    bool disabled = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inEntry)
            continue;
        const QString key = line.section(u'=', 0, 0).trimmed();
        const QString value = line.section(u'=', 1).trimmed();
        if (key == QLatin1String("Exec"))
            exec = value;
        else if (key == QLatin1String("Hidden") && value == QLatin1String("true"))
            disabled = true;
        else if (key == QLatin1String("X-GNOME-Autostart-enabled") &&
                 value == QLatin1String("false"))
            disabled = true;
    }
    return !disabled && desktopExecProgram(exec) == QCoreApplication::applicationFilePath();
}

} // namespace parlotta
