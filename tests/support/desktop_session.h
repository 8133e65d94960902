#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The Debian 13 tree GNOME 48 runs in (tests/support/gnome-chroot.sh builds it).
QString gnomeRoot();

// A desktop session of the caller's own, run by a script of tests/support until
// destroyed (wayland-session.sh: sway, KWin, weston; gnome-session.sh: GNOME
// Shell 48 in the Debian 13 tree). The variables the script prints lead every
// process started meanwhile into the session; they are given back afterwards.
class Session {
  public:
    ~Session();
    // kind: sway, kwin, kwin-unlisted or weston.
    bool compositor(const QString &kind, const QString &swayConfig = {});
    bool gnome();

  private:
    bool run(const QString &script, const QStringList &arguments, int timeoutMs);
    QTemporaryDir dir{QStringLiteral("/tmp/parlotta-session.XXXXXX")};
    QProcess process;
    QMap<QByteArray, QByteArray> saved; // empty: was not set
};

// gnome-session.sh, and its arguments for a command in the GNOME session that runs.
extern const QString gnomeScript;
QStringList inGnome(const QStringList &command);
// Keys typed through Mutter's own remote desktop ("67:1", "sleep:2500", …).
bool typeInGnome(const QStringList &steps);
