// What a change of the tray icon costs the main thread: drawing each state's
// icon the first time (done at start-up), and showing an icon already drawn,
// 200 times, in the system tray of the headless desktop. Run it there:
//   tests/support/headless-desktop.sh build/bench/bench_tray
#include "menubar/status_icon.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSystemTrayIcon>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace parlotta;

namespace {

double msSince(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr, "bench_tray: no system tray\n");
        return 1;
    }
    const TrayState states[] = {TrayState::Idle, TrayState::Warning, TrayState::Recording,
                                TrayState::Transcribing};
    std::printf("Tray icon, first drawing of each state (at start-up):\n");
    for (TrayState state : states) {
        QElapsedTimer clock;
        clock.start();
        statusIcon(QStringLiteral("en"), true, state);
        std::printf("  state %d  %.1f ms\n", int(state), msSince(clock));
    }
    QSystemTrayIcon tray(statusIcon(QStringLiteral("en"), true));
    tray.show();
    for (int i = 0; i < 50; ++i) {
        app.processEvents();
        QThread::msleep(10);
    }
    std::vector<double> changes;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer clock;
        clock.start();
        tray.setIcon(statusIcon(QStringLiteral("en"), true, states[i % 4]));
        tray.setToolTip(QStringLiteral("Recording \u2013 %1 s").arg(i));
        app.processEvents(); // the repaint it causes
        changes.push_back(msSince(clock));
        QThread::msleep(5);
    }
    std::sort(changes.begin(), changes.end());
    std::printf("Icon and tooltip change, drawn already: median %.2f ms, 95th %.2f ms, worst "
                "%.2f ms over %zu changes\n",
                changes[changes.size() / 2], changes[changes.size() * 95 / 100], changes.back(),
                changes.size());
    return 0;
}
