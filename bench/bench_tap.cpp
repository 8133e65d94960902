// The key listener's cost per key event, and the time from a key press to
// beginRecording running on an idle main thread. Run it inside the headless
// desktop: tests/support/headless-desktop.sh build/bench/bench_tap
#include "hotkey/event_tap.h"
#include "hotkey/hotkey_model.h"
#include "platform/linux/linux_platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

using namespace parlotta;

namespace {

std::mutex samplesMutex;
std::vector<double> tapMicros;
QElapsedTimer pressed;
std::vector<double> toMainMs;

double quantile(std::vector<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0
                          : values[std::min(values.size() - 1, size_t(q * double(values.size())))];
}

} // namespace

// The dictation requests the listener makes, measured here instead of recording.
namespace parlotta {
void beginRecording()
{
    toMainMs.push_back(double(pressed.nsecsElapsed()) / 1e6);
}
void stopRecordingAndTranscribe() {}
void cancelRecording() {}
void cancelRecordingBecause(const QString &) {}
bool isRecording()
{
    return false;
}
quint64 recordingNumber()
{
    return 0;
}
void watchRecordingLevels(std::function<void(float, float, double)>) {}
} // namespace parlotta

int main(int argc, char *argv[])
{
    QTemporaryDir home; // a fresh account: the default hotkey, right Alt
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    selectPlatform(createLinuxPlatform(Session::fromEnvironment()));
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "bench_tap: no X display\n");
        return 1;
    }

    tapEventTimed = [](std::chrono::nanoseconds spent) {
        std::lock_guard lock(samplesMutex);
        tapMicros.push_back(double(spent.count()) / 1000);
    };
    setActiveHotkey(selectedHotkey(), selectedHotkeyModifiers());
    startEventTapThread();
    while (!eventTapActive)
        QThread::msleep(10);
    QThread::msleep(200);

    // 10,000 events: letters typed while nothing is held, the common case.
    constexpr int events = 10000;
    const KeyCode letter = 38, rightAlt = 108;
    for (int i = 0; i < events / 2; ++i) {
        XTestFakeKeyEvent(display, letter, True, CurrentTime);
        XTestFakeKeyEvent(display, letter, False, CurrentTime);
        if (i % 100 == 0)
            XSync(display, False);
    }
    XSync(display, False);
    while (true) {
        {
            std::lock_guard lock(samplesMutex);
            if (tapMicros.size() >= size_t(events))
                break;
        }
        QThread::msleep(20);
    }

    // Key press to beginRecording on the main thread, which is idle meanwhile.
    constexpr int presses = 100;
    for (int i = 0; i < presses; ++i) {
        const size_t before = toMainMs.size();
        pressed.start();
        XTestFakeKeyEvent(display, rightAlt, True, CurrentTime);
        XFlush(display);
        while (toMainMs.size() == before)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        XTestFakeKeyEvent(display, rightAlt, False, CurrentTime);
        XSync(display, False);
        QThread::msleep(20);
        QCoreApplication::processEvents();
    }

    std::lock_guard lock(samplesMutex);
    std::printf("tap thread per key event (%zu events): median %.2f us, p99 %.2f us, max %.2f us\n",
                tapMicros.size(), quantile(tapMicros, 0.5), quantile(tapMicros, 0.99),
                quantile(tapMicros, 1.0));
    std::printf("key press -> beginRecording on the main thread (%d presses): median %.2f ms, max "
                "%.2f ms\n",
                presses, quantile(toMainMs, 0.5), quantile(toMainMs, 1.0));
    XCloseDisplay(display);
    std::fflush(stdout);
    _exit(0); // the listener thread runs for good
}
