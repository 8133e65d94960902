#include "platform/linux/pulse_connection.h"

#include <QElapsedTimer>
#include <mutex>

namespace parlotta {

namespace {
constexpr int connectTimeoutMs = 1500;
constexpr int retryAfterMs = 3000;
std::mutex connectMutex;

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

void signalLoop(pa_context *, void *userdata)
{
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(userdata), 0);
}

} // namespace

PulseConnection &PulseConnection::instance()
{
    static PulseConnection *connection = new PulseConnection; // lives until exit
    return *connection;
}

PulseConnection::PulseConnection()
{
    mainloop = pa_threaded_mainloop_new();
    pa_threaded_mainloop_set_name(mainloop, "pulse-loop");
    pa_threaded_mainloop_start(mainloop);
}

bool PulseConnection::waitLocked(const std::function<bool()> &done, int timeoutMs)
{
    struct Timeout {
        bool fired = false;
        pa_threaded_mainloop *loop;
    } timeout{false, mainloop};
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(mainloop);
    timeval when{};
    pa_timeval_add(pa_gettimeofday(&when), pa_usec_t(timeoutMs) * 1000);
    pa_time_event *timer = api->time_new(
        api, &when,
        [](pa_mainloop_api *, pa_time_event *, const timeval *, void *userdata) {
            auto *t = static_cast<Timeout *>(userdata);
            t->fired = true;
            pa_threaded_mainloop_signal(t->loop, 0);
        },
        &timeout);
    while (!done() && !timeout.fired)
        pa_threaded_mainloop_wait(mainloop);
    api->time_free(timer);
    return done();
}

bool PulseConnection::readyNow()
{
    Lock lock;
    return ctx && pa_context_get_state(ctx) == PA_CONTEXT_READY;
}

bool PulseConnection::ensureReady(QString *error)
{
    std::lock_guard guard(connectMutex);
    Lock lock;
    if (ctx && pa_context_get_state(ctx) == PA_CONTEXT_READY)
        return true;
    if (lastFailureMs >= 0 && monotonicMs() - lastFailureMs < retryAfterMs) {
        *error = lastError;
        return false;
    }
    if (ctx) {
        pa_context_disconnect(ctx);
        pa_context_unref(ctx);
    }
    ctx = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "Parlotta");
    pa_context_set_state_callback(ctx, signalLoop, mainloop);
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        waitLocked(
            [this] {
                const pa_context_state_t s = pa_context_get_state(ctx);
                return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
            },
            connectTimeoutMs);
    }
    if (pa_context_get_state(ctx) == PA_CONTEXT_READY) {
        lastFailureMs = -1;
        return true;
    }
    const int err = pa_context_errno(ctx);
    lastError = QStringLiteral("cannot connect to the sound server: %1")
                    .arg(QString::fromUtf8(err ? pa_strerror(err) : "no answer"));
    lastFailureMs = monotonicMs();
    pa_context_set_state_callback(ctx, nullptr, nullptr);
    pa_context_disconnect(ctx);
    pa_context_unref(ctx);
    ctx = nullptr;
    *error = lastError;
    return false;
}

} // namespace parlotta
