// The platform's rules written once above the transports, as rows: stored key
// codes and the kernel's, the direct keyboard listener on recorded event
// streams, the compositors' binding lines, the session probe, the paste
// keystroke's key events and its choice per window class, when a paste target
// has read the transcript, and a recording's level.
#include "fake_platform.h"
#include "hotkey/hotkey_model.h"
#include "platform/compositor_bindings.h"
#include "platform/keystrokes.h"
#include "platform/linux/evdev_keyboard.h"
#include "platform/linux/key_codes.h"
#include "platform/platform.h"
#include "platform/served_selection.h"
#include "platform/terminal_classes.h"
#include "platform/wav.h"

#include <QDir>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <fcntl.h>
#include <linux/input.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace parlotta;

class TestPlatformRules : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        fake::reset();
    }

    void keyCodes_data()
    {
        QTest::addColumn<int>("evdev");
        QTest::addColumn<qint64>("code");
        QTest::addColumn<bool>("written"); // false: only read, as an earlier version stored it
        QTest::newRow("right Alt") << 100 << qint64(61) << true;
        QTest::newRow("left Alt") << 56 << qint64(58) << true;
        QTest::newRow("F5") << 63 << qint64(96) << true;
        QTest::newRow("A") << 30 << qint64(0) << true;
        QTest::newRow("Caps Lock") << 58 << qint64(capsLockKey) << true;
        QTest::newRow("Help") << 138 << qint64(114)
                              << true; // Insert (110) is also named Help, one way
        QTest::newRow("no counterpart") << 240 << qint64(0x8000 + 240) << true;
        QTest::newRow("no counterpart, stored as 256 + X keycode")
            << 240 << qint64(256 + 248) << false;
    }

    void keyCodes()
    {
        QFETCH(int, evdev);
        QFETCH(qint64, code);
        QFETCH(bool, written);
        if (written)
            QCOMPARE(virtualKeyFromEvdev(evdev), code);
        QCOMPARE(evdevFromVirtualKey(code), evdev);
    }

    // The direct keyboard listener fed recorded kernel event streams through
    // FIFOs that appear in a watched folder as keyboards do. A step: "A@"
    // plugs keyboard A in, "A+100" / "A=100" / "A-100" press, repeat, release
    // evdev key 100 (right Alt) on it, "A!" unplugs it, "L1" / "L0" lock and
    // unlock the session; after each, everything the listener has reported so
    // far, in key codes (right Alt 61, left Alt 58, A 0).
    void evdevStreams_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("reported");
        QTest::newRow("press, repeats, release: every edge, right Alt exactly")
            << QStringList{u"A@"_s, u"A+100"_s, u"A=100"_s, u"A=100"_s, u"A-100"_s, u"A+56"_s}
            << QStringList{u""_s,
                           u"+61"_s,
                           u"+61 +61"_s,
                           u"+61 +61 +61"_s,
                           u"+61 +61 +61 -61"_s,
                           u"+61 +61 +61 -61 +58"_s};
        QTest::newRow("a second keyboard: the key is up when both let go")
            << QStringList{u"A@"_s, u"B@"_s, u"A+100"_s, u"B+100"_s, u"A-100"_s, u"B-100"_s}
            << QStringList{u""_s, u""_s, u"+61"_s, u"+61 +61"_s, u"+61 +61"_s, u"+61 +61 -61"_s};
        QTest::newRow("unplugged during a hold: released; the other keyboard goes on")
            << QStringList{u"A@"_s, u"B@"_s, u"A+100"_s, u"A!"_s, u"B+30"_s}
            << QStringList{u""_s, u""_s, u"+61"_s, u"+61 -61"_s, u"+61 -61 +0"_s};
        QTest::newRow("locked session: the hold ends, no key counts until unlocked")
            << QStringList{u"A@"_s, u"A+100"_s, u"L1"_s, u"A-100"_s, u"A+30"_s, u"L0"_s, u"A+100"_s}
            << QStringList{u""_s,        u"+61"_s,     u"+61 -61"_s,    u"+61 -61"_s,
                           u"+61 -61"_s, u"+61 -61"_s, u"+61 -61 +61"_s};
    }

    void evdevStreams()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, reported);
        QTemporaryDir dir, staging;
        EvdevKeyboardHook hook(dir.path(), [](int) { return true; });
        QMap<QChar, int> writers;
        std::mutex guard;
        QStringList seen;
        const auto report = [&] {
            std::lock_guard lock(guard);
            return seen.join(u' ');
        };
        const auto settle = [&](const QString &expected) {
            for (int i = 0; i < 500 && report() != expected; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return report();
        };
        const auto plug = [&](QChar name) {
            // Opened for writing before it appears, so that it never looks unplugged.
            const QString fifo = staging.filePath(u"event"_s + name);
            mkfifo(QFile::encodeName(fifo).constData(), 0600);
            writers[name] = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
            QDir().rename(fifo, dir.filePath(u"event"_s + name));
        };
        plug(u'0'); // a keyboard present at start
        QVERIFY(hook.open());
        std::thread reader([&] {
            hook.run(
                [&](std::int64_t code, bool pressed) {
                    std::lock_guard lock(guard);
                    seen << (pressed ? u"+"_s : u"-"_s) + QString::number(code);
                },
                {});
        });
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const QString step = steps[i];
            if (step == u"L1"_s || step == u"L0"_s) {
                hook.setLocked(step == u"L1"_s);
            } else if (step.endsWith(u'@')) {
                plug(step[0]);
            } else if (step.endsWith(u'!')) {
                ::close(writers.take(step[0]));
            } else {
                const int fd = writers.value(step[0]);
                const int value = step[1] == u'+' ? 1 : step[1] == u'=' ? 2 : 0;
                const input_event events[] = {{{}, EV_KEY, ushort(step.mid(2).toInt()), value},
                                              {{}, EV_SYN, SYN_REPORT, 0}};
                QCOMPARE(::write(fd, events, sizeof events), ssize_t(sizeof events));
                int unread = 1;
                for (int tries = 0; tries < 500 && unread; ++tries) {
                    ioctl(fd, FIONREAD, &unread);
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            }
            QCOMPARE(settle(reported[i]), reported[i]);
        }
        hook.stop();
        reader.join();
        for (const int fd : std::as_const(writers))
            ::close(fd);
    }

    // The lines the settings window gives where the compositor binds the keys itself.
    void compositorBindingLines_data()
    {
        QTest::addColumn<BindingCompositor>("compositor");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("key");
        QTest::addColumn<std::uint64_t>("modifiers");
        QTest::addColumn<QString>("lines");
        QTest::newRow("sway") << BindingCompositor::Sway << u"/usr/bin/parlotta"_s << u"Alt_R"_s
                              << std::uint64_t(0)
                              << u"Add to your sway configuration:\n"
                                 "bindsym --no-repeat Alt_R exec /usr/bin/parlotta --press\n"
                                 "bindsym --release Alt_R exec /usr/bin/parlotta --release"_s;
        QTest::newRow("sway, a combination, a path the shell must not split")
            << BindingCompositor::Sway << u"/home/o'neil/my apps/parlotta"_s << u"F9"_s
            << (flagControl | flagShift)
            << u"Add to your sway configuration:\n"
               "bindsym --no-repeat Ctrl+Shift+F9 exec '/home/o'\\''neil/my apps/parlotta' "
               "--press\n"
               "bindsym --release Ctrl+Shift+F9 exec '/home/o'\\''neil/my apps/parlotta' --release"_s;
        QTest::newRow("Hyprland") << BindingCompositor::Hyprland << u"/usr/bin/parlotta"_s
                                  << u"Alt_R"_s << std::uint64_t(0)
                                  << u"Add to your Hyprland configuration:\n"
                                     "bind = , Alt_R, exec, /usr/bin/parlotta --press\n"
                                     "bindr = , Alt_R, exec, /usr/bin/parlotta --release"_s;
        QTest::newRow("Hyprland, a combination")
            << BindingCompositor::Hyprland << u"/opt/p/parlotta"_s << u"F12"_s
            << (flagSuper | flagAlt)
            << u"Add to your Hyprland configuration:\n"
               "bind = SUPER ALT, F12, exec, /opt/p/parlotta --press\n"
               "bindr = SUPER ALT, F12, exec, /opt/p/parlotta --release"_s;
    }

    void compositorBindingLines()
    {
        QFETCH(BindingCompositor, compositor);
        QFETCH(QString, program);
        QFETCH(QString, key);
        QFETCH(std::uint64_t, modifiers);
        QTEST(parlotta::compositorBindingLines(compositor, program, key, modifiers), "lines");
    }

    // The session as its environment tells: which desktop's own services count.
    void sessionProbe_data()
    {
        QTest::addColumn<QStringList>("environment"); // NAME=value
        QTest::addColumn<Session::Kind>("kind");
        QTest::addColumn<Session::Desktop>("desktop");
        QTest::addColumn<QByteArray>("xDisplay");
        QTest::newRow("X11") << QStringList{u"DISPLAY=:0"_s} << Session::Kind::X11
                             << Session::Desktop::Other << QByteArray(":0");
        QTest::newRow("no display")
            << QStringList{} << Session::Kind::None << Session::Desktop::Other << QByteArray();
        QTest::newRow("Plasma, XWayland")
            << QStringList{u"WAYLAND_DISPLAY=wayland-0"_s, u"DISPLAY=:1"_s,
                           u"XDG_CURRENT_DESKTOP=KDE"_s}
            << Session::Kind::Wayland << Session::Desktop::Kde << QByteArray(":1");
        QTest::newRow("Ubuntu's GNOME, started by its session type alone")
            << QStringList{u"XDG_SESSION_TYPE=wayland"_s, u"XDG_CURRENT_DESKTOP=ubuntu:GNOME"_s}
            << Session::Kind::Wayland << Session::Desktop::Gnome << QByteArray();
        QTest::newRow("sway known by its socket")
            << QStringList{u"WAYLAND_DISPLAY=wayland-1"_s, u"SWAYSOCK=/run/user/1000/sway.sock"_s}
            << Session::Kind::Wayland << Session::Desktop::Sway << QByteArray();
        QTest::newRow("Hyprland") << QStringList{u"WAYLAND_DISPLAY=wayland-1"_s,
                                                 u"XDG_CURRENT_DESKTOP=Hyprland"_s}
                                  << Session::Kind::Wayland << Session::Desktop::Hyprland
                                  << QByteArray();
        QTest::newRow("a KDE name inside another is not KDE")
            << QStringList{u"WAYLAND_DISPLAY=wayland-1"_s, u"XDG_CURRENT_DESKTOP=KDEish"_s}
            << Session::Kind::Wayland << Session::Desktop::Other << QByteArray();
    }

    void sessionProbe()
    {
        QFETCH(QStringList, environment);
        const char *names[] = {"DISPLAY",          "WAYLAND_DISPLAY",
                               "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP",
                               "SWAYSOCK",         "HYPRLAND_INSTANCE_SIGNATURE"};
        QMap<QByteArray, QByteArray> saved;
        for (const char *name : names) {
            if (qEnvironmentVariableIsSet(name))
                saved[name] = qgetenv(name);
            qunsetenv(name);
        }
        for (const QString &entry : environment)
            qputenv(entry.section(u'=', 0, 0).toLatin1(), entry.section(u'=', 1).toUtf8());
        const Session session = Session::fromEnvironment();
        for (const char *name : names)
            saved.contains(name) ? qputenv(name, saved[name]) : qunsetenv(name);
        QTEST(session.kind, "kind");
        QTEST(session.desktop, "desktop");
        QTEST(session.xDisplay, "xDisplay");
    }

    void averagePower_data()
    {
        QTest::addColumn<int>("amplitude");
        QTest::addColumn<bool>("sine");
        QTest::addColumn<float>("db");
        QTest::newRow("digital silence") << 0 << false << -160.0f;
        QTest::newRow("full-scale square") << 32767 << false << 0.0f;
        QTest::newRow("full-scale sine") << 32767 << true << -3.01f;
        QTest::newRow("half-scale square") << 16384 << false << -6.02f;
        QTest::newRow("one step") << 1 << false << -90.31f;
    }

    void averagePower()
    {
        QFETCH(int, amplitude);
        QFETCH(bool, sine);
        QFETCH(float, db);
        std::vector<std::int16_t> samples(1600);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = std::int16_t(
                sine ? std::lround(amplitude * std::sin(2 * M_PI * 400 * double(i) / 16000))
                     : (i % 2 ? amplitude : -amplitude));
        QVERIFY(std::abs(averagePowerDb(samples.data(), samples.size()) - db) < 0.05f);
        QCOMPARE(averagePowerDb(samples.data(), 0), -160.0f);
    }

    void pasteKeystrokeByWindowClass_data()
    {
        using K = KeyInjector::Keystroke;
        QTest::addColumn<QByteArray>("instance");
        QTest::addColumn<QByteArray>("className");
        QTest::addColumn<K>("keystroke");
        QTest::newRow("xterm") << QByteArray("xterm") << QByteArray("XTerm") << K::ShiftInsert;
        QTest::newRow("konsole by class")
            << QByteArray("x") << QByteArray("konsole") << K::ControlShiftV;
        QTest::newRow("editor") << QByteArray("gedit") << QByteArray("Gedit") << K::ControlV;
        QTest::newRow("nothing") << QByteArray() << QByteArray() << K::ControlV;
    }

    void pasteKeystrokeByWindowClass()
    {
        QFETCH(QByteArray, instance);
        QFETCH(QByteArray, className);
        QTEST(pasteKeystrokeForWindowClass(instance, className), "keystroke");
    }

    // When the paste target has read the transcript, on every backend.
    void transcriptReads_data()
    {
        QTest::addColumn<bool>("transcript"); // false: the user's own content given back
        QTest::addColumn<int>("reads");
        QTest::addColumn<bool>("graceOver");
        QTest::addColumn<bool>("servedAgain"); // new content after the reads
        QTest::addColumn<bool>("read");
        QTest::newRow("not read yet") << true << 0 << true << false << false;
        QTest::newRow("read, a second format may follow") << true << 1 << false << false << false;
        QTest::newRow("read") << true << 2 << true << false << true;
        QTest::newRow("reads of the user's content") << false << 1 << true << false << false;
        QTest::newRow("reads of the content before") << true << 1 << true << true << false;
    }

    void transcriptReads()
    {
        QFETCH(bool, transcript);
        QFETCH(int, reads);
        QFETCH(bool, graceOver);
        QFETCH(bool, servedAgain);
        TranscriptReads served;
        served.serve(transcript);
        for (int i = 0; i < reads; ++i)
            served.noteRead();
        if (servedAgain)
            served.serve(true);
        if (graceOver)
            QTest::qSleep(graceAfterReadMs + 10);
        QTEST(served.pasteRead(), "read");
    }

    // Keys: C Control, S Shift, V the key that types v, I Insert, A right Alt
    // held by the user; "+" down, "-" up.
    void keystrokeEvents_data()
    {
        using K = KeyInjector::Keystroke;
        QTest::addColumn<K>("keystroke");
        QTest::addColumn<QString>("held");
        QTest::addColumn<QString>("events");
        QTest::newRow("Control+V") << K::ControlV << u""_s << u"+C +V -V -C"_s;
        QTest::newRow("terminal") << K::ControlShiftV << u""_s << u"+C +S +V -V -S -C"_s;
        QTest::newRow("Shift+Insert") << K::ShiftInsert << u""_s << u"+S +I -I -S"_s;
        QTest::newRow("hotkey held: lifted around it")
            << K::ControlV << u"A"_s << u"-A +C +V -V -C +A"_s;
        QTest::newRow("Control held: ours is pressed anew")
            << K::ControlShiftV << u"C"_s << u"-C +C +S +V -V -S -C +C"_s;
    }

    void keystrokeEvents()
    {
        QFETCH(KeyInjector::Keystroke, keystroke);
        QFETCH(QString, held);
        const QString names = u"CSVIA"_s;
        QList<int> heldKeys;
        for (QChar name : held)
            heldKeys << int(names.indexOf(name));
        const int key = keystroke == KeyInjector::Keystroke::ShiftInsert ? 3 : 2;
        QStringList got;
        for (const KeyEvent &event : parlotta::keystrokeEvents(keystroke, {key, 0, 1}, heldKeys))
            got << (event.pressed ? u"+"_s : u"-"_s) + names[event.key];
        QTEST(got.join(u' '), "events");
    }
};

QTEST_GUILESS_MAIN(TestPlatformRules)
#include "tst_platform_rules.moc"
