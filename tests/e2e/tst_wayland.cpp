// The daemon in Wayland sessions: sway (wlroots), KWin and GNOME Shell started
// headless by the test, weston for a compositor that offers none of what the
// daemon needs.
// The paste target is a native Wayland window; the clipboard it held before
// is set by it through the compositor, as any application sets it.
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>
#include <csignal>

namespace {

const QString pidLines =
    u"bindsym --no-repeat Alt_R exec kill -USR1 $(cat /tmp/parlotta/helper-pid)\n"
    "bindsym --release Alt_R exec kill -USR2 $(cat /tmp/parlotta/helper-pid)\n"_s;

// A compositor of the test's own, and the session's environment for every
// process the test starts after it (the daemon, the windows, the tools).
class Compositor {
  public:
    ~Compositor()
    {
        process.kill();
        process.waitForFinished();
    }

    // kind: sway, kwin, or kwin-unlisted (no desktop entry of ours: KWin grants
    // the daemon nothing), or weston.
    bool start(const QString &kind, const QString &swayConfig = {})
    {
        const QString runtime = dir.filePath(u"run"_s);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        env.remove(u"DISPLAY"_s);
        QString socket;
        if (kind == u"sway"_s) {
            writeFile(dir.filePath(u"config"_s), ("xwayland disable\n" + swayConfig).toUtf8());
            env.insert(u"WLR_BACKENDS"_s, u"headless"_s);
            env.insert(u"WLR_LIBINPUT_NO_DEVICES"_s, u"1"_s);
            env.insert(u"WLR_RENDERER"_s, u"pixman"_s);
            env.insert(u"LD_PRELOAD"_s, QStringLiteral(SWAY_AS_ROOT));
            process.setProgram(u"sway"_s);
            process.setArguments({u"-c"_s, dir.filePath(u"config"_s)});
            socket = u"wayland-1"_s;
        } else if (kind.startsWith(u"kwin"_s)) {
            // The copy drops the file capability that a container refuses;
            // KWin finds its plugins only under its own name.
            QDir().mkpath(dir.filePath(u"bin"_s));
            QFile::copy(u"/usr/bin/kwin_wayland"_s, dir.filePath(u"bin/kwin_wayland"_s));
            // KWin grants fake input to programs whose installed desktop
            // entry asks for it: the daemon's own entry, and the test's key tool.
            const QString apps = dir.filePath(u"data/applications"_s);
            QDir().mkpath(apps);
            QByteArray entry = readFile(QStringLiteral(PARLOTTA_SOURCE_DIR) +
                                        u"/packaging/com.parlotta.app.desktop"_s);
            entry.replace("Exec=parlotta", "Exec=" PARLOTTA_BINARY);
            if (kind == u"kwin"_s)
                writeFile(apps + u"/com.parlotta.app.desktop"_s, entry);
            writeFile(apps + u"/wlkey.desktop"_s,
                      "[Desktop Entry]\nType=Application\nName=wlkey\nExec=" WLKEY
                      "\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
            env.insert(u"XDG_DATA_HOME"_s, dir.filePath(u"data"_s));
            env.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
            env.insert(u"XDG_CURRENT_DESKTOP"_s, u"KDE"_s);
            env.insert(u"KWIN_COMPOSE"_s, u"Q"_s); // software painting leaves the CPU to whisper
            QProcess sycoca;
            sycoca.setProcessEnvironment(env);
            sycoca.start(u"kbuildsycoca5"_s, {u"--noincremental"_s});
            sycoca.waitForFinished(60000);
            process.setProgram(dir.filePath(u"bin/kwin_wayland"_s));
            process.setArguments({u"--virtual"_s, u"--width"_s, u"1024"_s, u"--height"_s, u"768"_s,
                                  u"--socket"_s, u"wayland-kw"_s});
            socket = u"wayland-kw"_s;
        } else {
            process.setProgram(u"weston"_s);
            process.setArguments({u"--backend=headless-backend.so"_s, u"--socket=wayland-w"_s});
            socket = u"wayland-w"_s;
        }
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(dir.filePath(u"compositor.log"_s));
        process.start();
        const QString path = runtime + u'/' + socket;
        if (!process.waitForStarted() || !waitUntil([&] { return QFile::exists(path); }, 20000))
            return false;
        // Everything started from here on is a client of this session.
        qputenv("WAYLAND_DISPLAY", path.toUtf8());
        qputenv("XDG_CURRENT_DESKTOP", kind.startsWith(u"kwin"_s) ? "KDE" : kind.toUtf8());
        qputenv("QT_QPA_PLATFORM", "wayland");
        // Qt on Wayland joins the accessibility bus when a screen reader is on.
        qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        for (const char *name : {"XDG_DATA_HOME", "XDG_CACHE_HOME"})
            qputenv(name, env.value(QString::fromLatin1(name)).toUtf8());
        qunsetenv("DISPLAY");
        QTest::qWait(kind.startsWith(u"kwin"_s) ? 3000
                                                : 500); // KWin loads its plugins after the socket
        return process.state() == QProcess::Running;
    }

  private:
    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
    }
    QTemporaryDir dir;
    QProcess process;
};

// GNOME Shell 48 headless in the Debian 13 tree the test run prepared
// (tests/support/gnome-chroot.sh), and its session's environment for every
// process the test starts after it.
class GnomeSession {
  public:
    static QString root()
    {
        return qEnvironmentVariable("PARLOTTA_GNOME_ROOT", u"/var/cache/parlotta-test/gnome48"_s);
    }
    ~GnomeSession()
    {
        process.terminate();
        process.waitForFinished(20000);
    }
    bool start()
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(script(), {root(), runtime()});
        if (!process.waitForStarted())
            return false;
        QByteArray out;
        if (!waitUntil(
                [&] {
                    out += process.readAllStandardOutput();
                    return out.contains("XDG_RUNTIME_DIR=") || process.state() != QProcess::Running;
                },
                120000))
            return false;
        for (const QByteArray &line : out.split('\n'))
            if (const qsizetype at = line.indexOf('='); at > 0)
                qputenv(line.left(at).constData(), line.mid(at + 1));
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        qputenv("XDG_SESSION_TYPE", "wayland");
        qputenv("QT_QPA_PLATFORM", "wayland");
        qunsetenv("DISPLAY"); // the daemon finds XWayland's itself
        return process.state() == QProcess::Running;
    }
    // Keys typed through Mutter's own remote desktop ("67:1", "sleep:2500", …).
    bool type(const QStringList &steps)
    {
        return QProcess::execute(script(), arguments(QStringList{u"keys"_s} + steps)) == 0;
    }
    // The script's arguments for a command in this session.
    QStringList arguments(const QStringList &command) const
    {
        return QStringList{root(), runtime()} + command;
    }

    static QString script()
    {
        return QStringLiteral(PARLOTTA_SOURCE_DIR) + u"/tests/support/gnome-session.sh"_s;
    }

  private:
    QString runtime() const
    {
        return dir.filePath(u"run"_s);
    }
    QTemporaryDir dir{u"/tmp/parlotta-gnome.XXXXXX"_s};
    QProcess process;
};

// Starts the daemon on the hello model; true when its log names these backends.
bool startedWith(DaemonProcess &daemon, const QStringList &backends)
{
    daemon.installModel(u"hello"_s);
    if (!daemon.start() || !waitForWhisperServer())
        return false;
    const QStringList lines = daemon.logMessages();
    return std::all_of(backends.cbegin(), backends.cend(),
                       [&](const QString &line) { return lines.contains(line); });
}

// The clipboard as a Wayland client reads it: every type, by name.
QMap<QString, QByteArray> waylandClipboard()
{
    QMap<QString, QByteArray> formats;
    const QStringList types = runTool(u"wl-paste"_s, {u"--list-types"_s}).split(u'\n');
    for (const QString &type : types) {
        QProcess paste;
        paste.start(u"wl-paste"_s, {u"--no-newline"_s, u"-t"_s, type});
        paste.waitForFinished(5000);
        formats.insert(type, paste.readAllStandardOutput());
    }
    return formats;
}

} // namespace

class TestWayland : public QObject {
    Q_OBJECT

    QString hello;
    QByteArray savedEnvironment[5];

  private Q_SLOTS:
    void initTestCase()
    {
        hello = makeSpeech(u"hello world"_s);
        QVERIFY(!hello.isEmpty());
        int i = 0;
        for (const char *name : {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORM",
                                 "DISPLAY", "XDG_DATA_HOME"})
            savedEnvironment[i++] = qgetenv(name);
    }

    // Back to the X11 desktop the other tests use.
    void cleanup()
    {
        int i = 0;
        for (const char *name : {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORM",
                                 "DISPLAY", "XDG_DATA_HOME"}) {
            const QByteArray value = savedEnvironment[i++];
            value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
        }
        qunsetenv("XDG_CACHE_HOME");
        qunsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
        // Services the bus starts later must not look for the compositor that is gone.
        QProcess::execute(
            u"dbus-update-activation-environment"_s,
            {u"WAYLAND_DISPLAY="_s, u"QT_QPA_PLATFORM="_s, u"XDG_CURRENT_DESKTOP="_s});
    }

    void sway_data()
    {
        QTest::addColumn<QString>("layout");     // XKB_DEFAULT_LAYOUT, for a seat with no keyboard
        QTest::addColumn<QStringList>("target"); // paste_target's options
        QTest::addColumn<bool>("byBindings");    // the README's sway lines and keys, else signals
        QTest::addColumn<QString>("pasted");     // the log line
        QTest::addColumn<QString>("text");       // what the window shows after
        QTest::addRow("README bindings, clipboard given back")
            << u"us"_s << QStringList{u"--own-clipboard"_s} << true
            << u"Pasted via virtual keyboard"_s << u"Hello world."_s;
        QTest::addRow("Dvorak") << u"us(dvorak)"_s << QStringList{} << false
                                << u"Pasted via virtual keyboard"_s << u"Hello world."_s;
        QTest::addRow("Russian only")
            << u"ru"_s << QStringList{u"--field"_s} << false
            << u"Pasted via virtual keyboard (Shift+Insert)"_s << u"Hello world."_s;
        QTest::addRow("terminal app id")
            << u"us"_s << QStringList{u"--app-id"_s, u"foot"_s} << false
            << u"Pasted via virtual keyboard (Ctrl+Shift+V)"_s << QString();
        QTest::addRow("frozen clipboard owner")
            << u"us"_s << QStringList{u"--frozen-owner"_s} << false
            << u"Pasted via virtual keyboard"_s << u"Hello world."_s;
    }

    void sway()
    {
        QFETCH(QString, layout);
        QFETCH(QStringList, target);
        QFETCH(bool, byBindings);
        QFETCH(QString, pasted);
        QFETCH(QString, text);
        Compositor sway;
        QVERIFY(sway.start(u"sway"_s, pidLines));
        DaemonProcess daemon;
        const QString variant = layout.section(u'(', 1).chopped(layout.contains(u'(') ? 1 : 0);
        daemon.setEnvironment(u"XKB_DEFAULT_LAYOUT"_s, layout.section(u'(', 0, 0));
        daemon.setEnvironment(u"XKB_DEFAULT_VARIANT"_s, variant);
        QVERIFY(startedWith(daemon,
                            {u"Key listener: sway key bindings (SIGUSR1/SIGUSR2)"_s,
                             u"Paste: virtual keyboard"_s, u"Clipboard: Wayland data control"_s}));

        QProcess frozen;
        const bool freeze = target.removeAll(u"--frozen-owner"_s);
        if (freeze) {
            frozen.start(u"wl-copy"_s, {u"--foreground"_s, u"frozen"_s});
            QVERIFY(waitUntil([] { return !waylandClipboard().isEmpty(); }, 5000));
            ::kill(pid_t(frozen.processId()), SIGSTOP);
        }
        PasteTarget window;
        QVERIFY(window.start(target));
        QMap<QString, QByteArray> before;
        if (target.contains(u"--own-clipboard"_s)) {
            // sway takes a client's clipboard only with the serial of a key.
            runTool(u"wtype"_s, {u"-k"_s, u"F12"_s});
            QTRY_VERIFY(waylandClipboard().contains(u"application/x-parlotta-test"_s));
            before = waylandClipboard();
            QVERIFY(before.contains(u"text/html"_s));
        }

        if (byBindings) {
            QProcess hold;
            hold.start(u"wtype"_s, {u"-P"_s, u"Alt_R"_s, u"-s"_s, u"2500"_s, u"-p"_s, u"Alt_R"_s});
            QVERIFY(daemon.waitForMessage(u"Recording started"_s));
            QVERIFY(playIntoMicrophone(hello));
            QVERIFY(hold.waitForFinished());
            QVERIFY(daemon.waitForMessage(u"Received SIGUSR2 \u2192 stop + transcribe"_s));
            QVERIFY(daemon.waitForMessage(u"Clipboard restored"_s, 30000));
        } else {
            QVERIFY(daemon.dictate(hello, pasted));
        }
        QVERIFY(daemon.logMessages().contains(pasted));
        if (byBindings) {
            // With no tray here, starting Parlotta again shows the running
            // one's settings window, which shows the lines for its hotkey.
            DaemonProcess again;
            QVERIFY(again.runToExit());
            QCOMPARE(again.exitCode(), 0);
            QTRY_VERIFY_WITH_TIMEOUT(accessibleTree().contains(pidLines.section(u'\n', 0, 0)),
                                     10000);
            // On Wayland the window offers the direct keyboard listener.
            QVERIFY(accessibleShowing(u"check box"_s, u"Read the keyboard directly"_s));
        }
        if (!text.isEmpty())
            QTRY_COMPARE(window.text(), text);
        else
            QVERIFY2(window.keys().contains(u"press 86 100663296 0"_s), // Ctrl+Shift+V
                     qPrintable(window.keys().join(u'\n')));
        if (!before.isEmpty())
            QCOMPARE(waylandClipboard(), before);
        if (freeze) {
            QVERIFY(!lastLineStartingWith(daemon, u"ERROR: could not save the clipboard: "_s)
                         .isEmpty());
            ::kill(pid_t(frozen.processId()), SIGCONT);
            frozen.kill();
            frozen.waitForFinished();
        }
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }

    void kwin_data()
    {
        QTest::addColumn<QString>("compositor");
        QTest::addColumn<QString>("paste");
        QTest::addRow("fake input, granted by our desktop entry")
            << u"kwin"_s << u"KWin fake input"_s;
        QTest::addRow("no desktop entry: remote desktop portal")
            << u"kwin-unlisted"_s << u"remote desktop portal"_s;
    }

    // KDE binds the hotkey (F9 by default there) and reports its press and
    // release; KWin's fake input pastes where our installed desktop entry
    // grants it, else the desktop portal's remote desktop session.
    void kwin()
    {
        QFETCH(QString, compositor);
        QFETCH(QString, paste);
        Compositor kwin;
        QVERIFY(kwin.start(compositor));
        if (compositor == u"kwin-unlisted"_s) {
            // The portal and its back ends, started afresh for this session (an
            // earlier one may serve another display); -f because a process
            // name is cut to 15 characters.
            QProcess::execute(u"pkill"_s, {u"-f"_s, u"libexec/xdg-desktop-portal"_s});
            QCOMPARE(
                QProcess::execute(u"dbus-update-activation-environment"_s,
                                  {u"WAYLAND_DISPLAY"_s, u"XDG_CURRENT_DESKTOP"_s,
                                   u"QT_QPA_PLATFORM"_s, u"XDG_DATA_HOME"_s, u"XDG_CACHE_HOME"_s}),
                0);
        }
        DaemonProcess daemon;
        QVERIFY(startedWith(daemon, {u"Key listener: KDE global shortcuts"_s, u"Paste: "_s + paste,
                                     u"Clipboard: Wayland data control"_s}));
        QVERIFY(lastLineStartingWith(daemon, u"Daemon ready"_s).contains(u"hotkey: F9,"_s));

        PasteTarget window;
        QVERIFY(window.start({u"--own-clipboard"_s}));
        QTRY_VERIFY(waylandClipboard().contains(u"application/x-parlotta-test"_s));
        const QMap<QString, QByteArray> before = waylandClipboard();

        QProcess hold;
        hold.start(QStringLiteral(WLKEY), {u"67:1"_s, u"sleep:2500"_s, u"67:0"_s});
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(playIntoMicrophone(hello));
        QVERIFY(hold.waitForFinished());
        QCOMPARE(hold.exitCode(), 0);
        QVERIFY(daemon.waitForMessage(u"Clipboard restored"_s, 30000));
        QVERIFY(daemon.logMessages().contains(u"Pasted via "_s + paste));
        QTRY_COMPARE(window.text(), u"Hello world."_s);
        QCOMPARE(waylandClipboard(), before);

        if (compositor == u"kwin"_s) {
            // A terminal, known by the application id KWin reports for the focused window.
            PasteTarget terminal;
            QVERIFY(terminal.start({u"--app-id"_s, u"org.kde.konsole"_s}));
            QVERIFY(daemon.dictate(hello, u"Pasted via KWin fake input (Ctrl+Shift+V)"_s));
            QTRY_VERIFY(terminal.keys().contains(u"press 86 100663296 0"_s));
        }
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }

    // GNOME 48: the hotkey bound through the portal's global shortcuts (allowed
    // beforehand, so no dialog), a hold typed through Mutter; the clipboard
    // through XWayland, which GNOME passes to Wayland windows.
    void gnome()
    {
        if (!QFile::exists(GnomeSession::root() + u"/.parlotta-ready"_s))
            QFAIL("no GNOME tree: run tests/support/gnome-chroot.sh first");
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS"),
                         runtime = qgetenv("XDG_RUNTIME_DIR");
        const auto restore = qScopeGuard([&] {
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
            qputenv("XDG_RUNTIME_DIR", runtime);
            for (const char *name :
                 {"XDG_SESSION_TYPE", "XWAYLAND_DISPLAY", "XWAYLAND_AUTHORITY", "XAUTHORITY"})
                qunsetenv(name);
        });
        GnomeSession gnome;
        QVERIFY(gnome.start());
        DaemonProcess daemon;
        QVERIFY(startedWith(daemon, {u"Key listener: desktop portal global shortcuts"_s,
                                     u"Paste: remote desktop portal; XTest in X11 windows"_s,
                                     u"Clipboard: X11 selections through XWayland"_s}));
        QVERIFY(lastLineStartingWith(daemon, u"Daemon ready"_s).contains(u"hotkey: F9,"_s));
        QVERIFY(daemon.waitForMessage(u"Push-to-talk shortcut bound by the desktop (F9)"_s));

        // GNOME asks whether to allow the paste keystroke; its dialog cannot be
        // passed headless (its Share button stays insensitive to AT-SPI), so
        // the user here declines, and the transcript waits on the clipboard.
        const QString refused =
            u"ERROR: the desktop refused the remote desktop session for the paste keystroke "
            "(answer 1): the transcript stays on the clipboard, press Ctrl+V to paste it"_s;
        QProcess cancel; // pressed again until the dialog is there to take it
        QVERIFY(waitUntil(
            [&] {
                if (cancel.state() == QProcess::NotRunning)
                    cancel.start(GnomeSession::script(),
                                 gnome.arguments({u"press"_s, u"xdg-desktop-portal-gnome"_s,
                                                  u"button"_s, u"Cancel"_s}));
                return daemon.logMessages().contains(refused);
            },
            60000));
        cancel.kill();
        cancel.waitForFinished();

        // A native Wayland window owns the clipboard; a hold of F9 typed
        // through Mutter records, and the transcript crosses from our X11
        // clipboard to the window at the user's Ctrl+V.
        PasteTarget window;
        window.start({u"--own-clipboard"_s});
        QVERIFY(gnome.type({u"button:1"_s, u"button:0"_s})); // GNOME gives it the focus at a click
        QTRY_VERIFY(window.focused());
        QTRY_VERIFY(waylandClipboard().contains(u"application/x-parlotta-test"_s));
        QProcess hold;
        hold.start(GnomeSession::script(),
                   gnome.arguments({u"keys"_s, u"67:1"_s, u"sleep:2500"_s, u"67:0"_s}));
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(playIntoMicrophone(hello));
        QVERIFY(hold.waitForFinished());
        QVERIFY(daemon.waitForMessage(
            u"ERROR: could not post the paste keystroke: the desktop has not allowed the remote "
            "desktop session (yet); the transcript stays on the clipboard, press Ctrl+V to paste "
            "it"_s,
            30000));
        QCOMPARE(waylandClipboard().value(u"text/plain;charset=utf-8"_s), "Hello world.");
        QVERIFY(gnome.type({u"29:1"_s, u"47:1"_s, u"47:0"_s, u"29:0"_s}));
        QTRY_COMPARE(window.text(), u"Hello world."_s);

        // An X11 window keeps XTest, and gets the clipboard back byte for byte.
        QVERIFY(gnome.type({u"29:1"_s, u"44:1"_s, u"44:0"_s, u"29:0"_s})); // Ctrl+Z: empty again
        const QByteArray wayland = qgetenv("QT_QPA_PLATFORM");
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("DISPLAY", qgetenv("XWAYLAND_DISPLAY"));
        qputenv("XAUTHORITY", qgetenv("XWAYLAND_AUTHORITY"));
        PasteTarget x11Window;
        const bool started = x11Window.start({u"--own-clipboard"_s});
        qputenv("QT_QPA_PLATFORM", wayland);
        qunsetenv("DISPLAY");
        QVERIFY(started);
        QTRY_VERIFY(waylandClipboard().contains(u"application/x-parlotta-test"_s));
        const QMap<QString, QByteArray> before = waylandClipboard();
        QVERIFY(daemon.dictate(hello, u"Pasted via XTest"_s));
        QVERIFY(daemon.waitForMessage(u"Clipboard restored"_s));
        QTRY_COMPARE(x11Window.text(), u"Hello world."_s);
        // Through the bridge Wayland clients also see X11's own targets, which
        // describe the owner (its time, its list) rather than hold data.
        const auto data = [](QMap<QString, QByteArray> formats) {
            for (const char *own : {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS"})
                formats.remove(QString::fromLatin1(own));
            return formats;
        };
        QCOMPARE(data(waylandClipboard()), data(before));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }

    // A compositor that offers no clipboard access and no keyboard to clients:
    // the daemon says so, records and transcribes, and pastes nothing.
    void compositorWithoutProtocols()
    {
        Compositor weston;
        QVERIFY(weston.start(u"weston"_s));
        DaemonProcess daemon;
        daemon.installModel(u"hello"_s);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer());
        QVERIFY(daemon.logMessages().contains(
            u"Event tap unavailable \u2014 waiting for Accessibility permission"_s));
        QVERIFY(daemon.dictate(hello, u"ERROR: "_s));
        QVERIFY(daemon.isRunning());
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_GUILESS_MAIN(TestWayland)
#include "tst_wayland.moc"
