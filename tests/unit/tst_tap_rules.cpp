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
};

QTEST_APPLESS_MAIN(TestTapRules)
#include "tst_tap_rules.moc"
