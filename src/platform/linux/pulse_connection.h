#pragma once

#include <QString>
#include <pulse/pulseaudio.h>

namespace parlotta {

// One process-wide connection to the sound server on a threaded main loop.
// Every pa_* call outside the loop's own thread happens inside a Lock.
class PulseConnection {
  public:
    static PulseConnection &instance();

    // Connects (again) when needed. Bounded: a server that does not answer
    // gives up after about a second, and a failed attempt is not retried for
    // a few seconds, so callers on the main thread never hang on it.
    bool ensureReady(QString *error);
    // Whether the connection stands now, without connecting.
    bool readyNow();

    pa_threaded_mainloop *loop() const
    {
        return mainloop;
    }
    pa_context *context() const
    {
        return ctx;
    }

    // Waits (loop locked) until done() is true or timeoutMs passes.
    bool waitLocked(const std::function<bool()> &done, int timeoutMs);

    class Lock {
      public:
        Lock()
        {
            pa_threaded_mainloop_lock(PulseConnection::instance().loop());
        }
        ~Lock()
        {
            pa_threaded_mainloop_unlock(PulseConnection::instance().loop());
        }
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
    };

  private:
    PulseConnection();
    pa_threaded_mainloop *mainloop = nullptr;
    pa_context *ctx = nullptr;
    qint64 lastFailureMs = -1;
    QString lastError;
};

} // namespace parlotta
