#include "fake_platform.h"
#include "hotkey/hotkey_model.h"
#include "hotkey/key_tracker.h"
#include "hotkey/tap_rules.h"
#include "platform/compositor_bindings.h"
#include "platform/linux/evdev_keyboard.h"
#include "platform/linux/key_codes.h"
#include "platform/platform.h"

#include <QDir>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <linux/input.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace parlotta;

Q_DECLARE_METATYPE(TapRequest)

namespace {
constexpr std::uint32_t down = eventKeyDown, up = eventKeyUp, flagsChanged = eventFlagsChanged;
constexpr std::uint64_t rightAltDown = flagAlt | 0x40; // right Alt's own mask
constexpr std::uint64_t capsLockFlag = 0x10000;
} // namespace

class TestTapRules : public QObject {
    Q_OBJECT

    void addColumns()
    {
        QTest::addColumn<uint>("type");
        QTest::addColumn<qint64>("key");
        QTest::addColumn<bool>("autorepeat");
        QTest::addColumn<std::uint64_t>("flags");
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("combo");
        QTest::addColumn<bool>("pass");
        QTest::addColumn<TapRequest>("request");
        QTest::addColumn<bool>("heldAfter");
        QTest::addColumn<bool>("comboAfter");
    }

    void check(qint64 hotkey, std::uint64_t modifiers)
    {
        QFETCH(uint, type);
        QFETCH(qint64, key);
        QFETCH(bool, autorepeat);
        QFETCH(std::uint64_t, flags);
        QFETCH(bool, held);
        QFETCH(bool, combo);
        TapState state{held, combo};
        const TapDecision decision =
            handleTapEvent({type, key, autorepeat, flags}, state, hotkey, modifiers);
        QTEST(decision.pass, "pass");
        QTEST(decision.request, "request");
        QTEST(state.hotkeyHeld, "heldAfter");
        QTEST(state.hotkeyCombo, "comboAfter");
    }

  private Q_SLOTS:
    void initTestCase()
    {
        fake::reset();
    }

    // Hotkey right Alt (61); every event passes.
    void modifierHotkey_data()
    {
        addColumns();
        // clang-format off
        QTest::newRow("press while held")         << flagsChanged << qint64(61) << false << rightAltDown << true  << false << true << TapRequest::None   << true  << false;
        QTest::newRow("press")                    << flagsChanged << qint64(61) << false << rightAltDown << false << true  << true << TapRequest::Begin  << true  << false;
        QTest::newRow("release, not held")        << flagsChanged << qint64(61) << false << std::uint64_t(0)   << false << false << true << TapRequest::None   << false << false;
        QTest::newRow("release after combo")      << flagsChanged << qint64(61) << false << std::uint64_t(0)   << true  << true  << true << TapRequest::None   << false << true;
        QTest::newRow("release")                  << flagsChanged << qint64(61) << false << std::uint64_t(0)   << true  << false << true << TapRequest::Stop   << false << false;
        QTest::newRow("letter during hold")       << down         << qint64(0)  << false << rightAltDown << true  << false << true << TapRequest::Cancel << true  << true;
        QTest::newRow("left Alt during hold")     << flagsChanged << qint64(58) << false << (rightAltDown | 0x20) << true << false << true << TapRequest::Cancel << true << true;
        QTest::newRow("Caps Lock during hold")    << flagsChanged << qint64(capsLockKey) << false << (rightAltDown | capsLockFlag) << true << false << true << TapRequest::Cancel << true << true;
        QTest::newRow("second combo")             << down         << qint64(1)  << false << rightAltDown << true  << true  << true << TapRequest::None   << true  << true;
        QTest::newRow("letter, not held")         << down         << qint64(0)  << false << std::uint64_t(0)   << false << false << true << TapRequest::None   << false << false;
        QTest::newRow("key up during hold")       << up           << qint64(0)  << false << rightAltDown << true  << false << true << TapRequest::None   << true  << false;
        QTest::newRow("hotkey's own key down")    << down         << qint64(61) << false << rightAltDown << true  << false << true << TapRequest::Cancel << true  << true;
        // clang-format on
    }

    void modifierHotkey()
    {
        check(61, 0);
    }

    // Hotkey F5 (96) with no modifiers.
    void ordinaryHotkey_data()
    {
        addColumns();
        // clang-format off
        QTest::newRow("other key")                << down         << qint64(0)  << false << std::uint64_t(0)      << true  << false << true  << TapRequest::None  << true  << false;
        QTest::newRow("other key up")             << up           << qint64(0)  << false << std::uint64_t(0)      << true  << false << true  << TapRequest::None  << true  << false;
        QTest::newRow("release, not held")        << up           << qint64(96) << false << std::uint64_t(0)      << false << false << true  << TapRequest::None  << false << false;
        QTest::newRow("release")                  << up           << qint64(96) << false << flagShift       << true  << false << false << TapRequest::Stop  << false << false;
        QTest::newRow("repeat while held")        << down         << qint64(96) << true  << std::uint64_t(0)      << true  << false << false << TapRequest::None  << true  << false;
        QTest::newRow("repeat, not held")         << down         << qint64(96) << true  << std::uint64_t(0)      << false << false << true  << TapRequest::None  << false << false;
        QTest::newRow("with Control")             << down         << qint64(96) << false << flagControl     << false << false << true  << TapRequest::None  << false << false;
        QTest::newRow("alone")                    << down         << qint64(96) << false << std::uint64_t(0)      << false << false << false << TapRequest::Begin << true  << false;
        QTest::newRow("Caps Lock does not count") << down         << qint64(96) << false << capsLockFlag    << false << false << false << TapRequest::Begin << true  << false;
        QTest::newRow("fresh press while held")   << down         << qint64(96) << false << std::uint64_t(0)      << true  << false << false << TapRequest::Begin << true  << false;
        QTest::newRow("flags changed on the key") << flagsChanged << qint64(96) << false << std::uint64_t(0)      << true  << false << true  << TapRequest::None  << true  << false;
        // clang-format on
    }

    void ordinaryHotkey()
    {
        check(96, 0);
    }

    // Hotkey Ctrl+Super+F1: the modifiers must match exactly.
    void comboHotkey_data()
    {
        addColumns();
        // clang-format off
        QTest::newRow("exact")      << down << qint64(122) << false << (flagControl | flagSuper | 0x1 | 0x8) << false << false << false << TapRequest::Begin << true  << false;
        QTest::newRow("extra Alt")  << down << qint64(122) << false << (flagControl | flagSuper | flagAlt)   << false << false << true  << TapRequest::None  << false << false;
        QTest::newRow("too few")    << down << qint64(122) << false << flagControl                           << false << false << true  << TapRequest::None  << false << false;
        // clang-format on
    }

    void comboHotkey()
    {
        check(122, flagControl | flagSuper);
    }

    void noHotkeyPassesEverything_data()
    {
        addColumns();
        QTest::newRow("right Alt") << flagsChanged << qint64(61) << false << rightAltDown << false
                                   << false << true << TapRequest::None << false << false;
        QTest::newRow("letter") << down << qint64(0) << false << std::uint64_t(0) << false << false
                                << true << TapRequest::None << false << false;
    }

    void noHotkeyPassesEverything()
    {
        check(hotkeyNone, 0);
    }

    // Hotkey capture, one event at a time: what was pending before, what the
    // event ends the capture with, and what is pending after it.
    void capture_data()
    {
        QTest::addColumn<uint>("type");
        QTest::addColumn<qint64>("key");
        QTest::addColumn<std::uint64_t>("flags");
        QTest::addColumn<qint64>("pending"); // -1: none
        QTest::addColumn<bool>("pass");
        QTest::addColumn<int>("outcome"); // CaptureOutcome
        QTest::addColumn<qint64>("code");
        QTest::addColumn<std::uint64_t>("modifiers");
        QTest::addColumn<qint64>("pendingAfter");
        const int none = int(CaptureOutcome::None), captured = int(CaptureOutcome::Captured),
                  cancelled = int(CaptureOutcome::Cancelled);
        const std::uint64_t no = 0, leftControlDown = flagControl | 0x1;
        // clang-format off
        QTest::newRow("Caps Lock is never a hotkey")   << flagsChanged << qint64(capsLockKey) << capsLockFlag    << qint64(-1) << true  << none      << qint64(0)  << no          << qint64(-1);
        QTest::newRow("modifier down waits")           << flagsChanged << qint64(61)  << rightAltDown           << qint64(-1) << true  << none      << qint64(0)  << no          << qint64(61);
        QTest::newRow("the last modifier pressed wins")<< flagsChanged << qint64(59)  << (rightAltDown | leftControlDown) << qint64(61) << true << none << qint64(0) << no     << qint64(59);
        QTest::newRow("an earlier one's release")      << flagsChanged << qint64(61)  << leftControlDown        << qint64(59) << true  << none      << qint64(0)  << no          << qint64(59);
        QTest::newRow("its own release captures it")   << flagsChanged << qint64(59)  << no                     << qint64(59) << true  << captured  << qint64(59) << no          << qint64(-1);
        QTest::newRow("modifier released after a key") << flagsChanged << qint64(59)  << no                     << qint64(-1) << true  << none      << qint64(0)  << no          << qint64(-1);
        QTest::newRow("key with modifiers")            << down         << qint64(96)  << leftControlDown        << qint64(59) << false << captured  << qint64(96) << flagControl << qint64(-1);
        QTest::newRow("Caps Lock held is no modifier") << down         << qint64(96)  << capsLockFlag           << qint64(-1) << false << captured  << qint64(96) << no          << qint64(-1);
        QTest::newRow("Escape alone cancels")          << down         << qint64(53)  << no                     << qint64(-1) << false << cancelled << qint64(0)  << no          << qint64(-1);
        QTest::newRow("Escape with Shift is a hotkey") << down         << qint64(53)  << (flagShift | 0x2)      << qint64(-1) << false << captured  << qint64(53) << flagShift   << qint64(-1);
        QTest::newRow("a key's release")               << up           << qint64(96)  << no                     << qint64(59) << true  << none      << qint64(0)  << no          << qint64(59);
        // clang-format on
    }

    void capture()
    {
        QFETCH(uint, type);
        QFETCH(qint64, key);
        QFETCH(std::uint64_t, flags);
        QFETCH(qint64, pending);
        std::optional<std::int64_t> pendingModifier;
        if (pending >= 0)
            pendingModifier = pending;
        const CaptureDecision decision =
            handleCaptureEvent({type, key, false, flags}, pendingModifier);
        QTEST(decision.pass, "pass");
        QTEST(int(decision.outcome), "outcome");
        QTEST(qint64(decision.code), "code");
        QTEST(decision.modifiers, "modifiers");
        QTEST(qint64(pendingModifier.value_or(-1)), "pendingAfter");
    }

    void keyTracker()
    {
        KeyTracker tracker;
        QCOMPARE(tracker.onKey(0, false).has_value(), false); // release of a key that is up
        auto alt = tracker.onKey(61, true);
        QVERIFY(alt);
        QCOMPARE(alt->type, flagsChanged);
        QCOMPARE(alt->flags, rightAltDown);
        QCOMPARE(tracker.onKey(61, true).has_value(), false); // modifiers do not repeat
        auto shift = tracker.onKey(60, true);
        QCOMPARE(shift->flags, rightAltDown | flagShift | 0x4);
        auto letter = tracker.onKey(0, true);
        QCOMPARE(letter->type, down);
        QCOMPARE(letter->autorepeat, false);
        QCOMPARE(tracker.onKey(0, true)->autorepeat, true);
        QCOMPARE(tracker.onKey(0, false)->type, up);
        auto altUp = tracker.onKey(61, false);
        QCOMPARE(altUp->type, flagsChanged);
        QCOMPARE(altUp->flags, flagShift | 0x4);
        QCOMPARE(tracker.onKey(capsLockKey, true)->type, flagsChanged);
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
};

QTEST_APPLESS_MAIN(TestTapRules)
#include "tst_tap_rules.moc"
