#include "platform/linux/pulse_audio.h"
#include "core/log.h"
#include "core/system_error.h"
#include "core/threads.h"
#include "platform/audio.h"
#include "platform/linux/pulse_connection.h"
#include "platform/wav.h"

#include <QCoreApplication>
#include <QHash>
#include <QtEndian>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <utility>

namespace parlotta {

namespace {

constexpr int sampleRate = 16000;
constexpr std::size_t meterWindow = sampleRate / 10; // the latest 100 ms
constexpr int streamTimeoutMs = 1500;

// Disconnects a stream, its callbacks first, and forgets it; loop locked.
void closeStream(pa_stream *&stream)
{
    if (!stream)
        return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

class PulseRecorder final : public AudioRecorder {
  public:
    ~PulseRecorder() override
    {
        stop();
    }

    bool prepare(int fd, const QString &source, QString *error) override
    {
        file = fd;
        if (!writeAll(file, wavHeader(0).constData(), wavHeaderSize)) {
            *error = QStringLiteral("cannot write the recording file");
            return false;
        }
        PulseConnection &pulse = PulseConnection::instance();
        if (!pulse.ensureReady(error))
            return false;
        PulseConnection::Lock lock;
        // Asked first, not left to the connection: PipeWire's server links a
        // stream for a missing source to the default one without a word.
        if (!source.isEmpty() && sourceExists(source.toUtf8()))
            return openStream(source.toUtf8().constData(), error);
        // Unplugged since it was chosen: the default one hears the user still.
        fallenBack = !source.isEmpty();
        return openStream(nullptr, error);
    }

    bool usedDefaultInstead() const override
    {
        return fallenBack;
    }

  private:
    // Loop locked.
    static bool sourceExists(const QByteArray &name)
    {
        struct Lookup {
            bool done = false;
            bool found = false;
        } lookup;
        PulseConnection &pulse = PulseConnection::instance();
        pa_operation *op = pa_context_get_source_info_by_name(
            pulse.context(), name.constData(),
            [](pa_context *, const pa_source_info *info, int eol, void *userdata) {
                auto *l = static_cast<Lookup *>(userdata);
                l->found = l->found || info != nullptr;
                if (eol) {
                    l->done = true;
                    pa_threaded_mainloop_signal(PulseConnection::instance().loop(), 0);
                }
            },
            &lookup);
        if (!op)
            return false;
        pulse.waitLocked([&lookup] { return lookup.done; }, streamTimeoutMs);
        // An answer that has not come never will: its callback is dropped.
        if (!lookup.done)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return lookup.found;
    }

    // A corked stream from device (null: the default source); loop locked.
    bool openStream(const char *device, QString *error)
    {
        closeStream(stream);
        PulseConnection &pulse = PulseConnection::instance();
        const pa_sample_spec spec{PA_SAMPLE_S16LE, sampleRate, 1};
        stream = pa_stream_new(pulse.context(), "Dictation", &spec, nullptr);
        if (!stream) {
            *error = QString::fromUtf8(pa_strerror(pa_context_errno(pulse.context())));
            return false;
        }
        pa_stream_set_state_callback(
            stream,
            [](pa_stream *, void *) {
                pa_threaded_mainloop_signal(PulseConnection::instance().loop(), 0);
            },
            nullptr);
        pa_stream_set_read_callback(
            stream,
            [](pa_stream *s, size_t, void *self) {
                static_cast<PulseRecorder *>(self)->readAvailable(s);
            },
            this);
        // Small fragments: the first samples arrive within a few tens of milliseconds.
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.fragsize = sampleRate * 2 / 50; // 20 ms
        const auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_record(stream, device, &attr, flags) < 0 ||
            !pulse.waitLocked(
                [this] {
                    const pa_stream_state_t s = pa_stream_get_state(stream);
                    return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
                },
                streamTimeoutMs) ||
            pa_stream_get_state(stream) != PA_STREAM_READY) {
            const int err = pa_context_errno(pulse.context());
            *error = QStringLiteral("cannot open the microphone: %1")
                         .arg(QString::fromUtf8(err ? pa_strerror(err) : "no answer"));
            closeStream(stream);
            return false;
        }
        return true;
    }

  public:
    bool record(QString *error) override
    {
        PulseConnection::Lock lock;
        if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY) {
            *error = QStringLiteral("the stream is not ready");
            return false;
        }
        if (pa_operation *op = pa_stream_cork(stream, 0, nullptr, nullptr)) {
            pa_operation_unref(op);
            return true;
        }
        *error =
            QString::fromUtf8(pa_strerror(pa_context_errno(PulseConnection::instance().context())));
        return false;
    }

    double currentTime() const override
    {
        return double(samplesWritten.load()) / sampleRate;
    }

    float averagePower() const override
    {
        std::lock_guard guard(meterMutex);
        // Until the window has filled, the samples so far sit at its start.
        return averagePowerDb(meter.data(), std::min<std::size_t>(meterCount, meterWindow));
    }

    QString failure() const override
    {
        if (!stream)
            return {};
        PulseConnection::Lock lock;
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (PA_STREAM_IS_GOOD(state))
            return {};
        const pa_context_state_t connection =
            pa_context_get_state(PulseConnection::instance().context());
        return PA_CONTEXT_IS_GOOD(connection)
                   ? QStringLiteral("the microphone was removed from the sound server")
                   : QStringLiteral("the connection to the sound server was lost");
    }

    void stop() override
    {
        if (stream) {
            PulseConnection::Lock lock;
            closeStream(stream);
        }
        if (file >= 0) {
            const QByteArray h = wavHeader(std::uint32_t(samplesWritten.load() * 2));
            if (::pwrite(file, h.constData(), wavHeaderSize, 0) != wavHeaderSize)
                log(QStringLiteral("ERROR: could not complete the recording's WAV header: ") +
                    systemErrorText());
            ::close(file);
            file = -1;
        }
    }

  private:
    // On the sound server's loop thread.
    void readAvailable(pa_stream *s)
    {
        const void *data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 &&
               bytes > 0) {
            if (data) {
                // Fragments always hold whole samples of our format.
                const auto *samples = static_cast<const std::int16_t *>(data);
                const std::size_t count = bytes / 2;
                if (file >= 0 &&
                    writeAll(file, static_cast<const char *>(data), qsizetype(count * 2)))
                    samplesWritten += qint64(count);
                else if (file >= 0 && !writeFailed) {
                    writeFailed = true; // said once: a full disk fails every fragment
                    log(QStringLiteral("ERROR: could not write the recording (%1); its samples "
                                       "are dropped")
                            .arg(systemErrorText()));
                }
                std::lock_guard guard(meterMutex);
                for (std::size_t i = 0; i < count; ++i)
                    meter[(meterCount++) % meterWindow] = samples[i];
            }
            pa_stream_drop(s);
        }
    }

    pa_stream *stream = nullptr;
    bool fallenBack = false;
    int file = -1;
    std::atomic<qint64> samplesWritten{0};
    bool writeFailed = false; // the loop thread's
    mutable std::mutex meterMutex;
    std::array<std::int16_t, meterWindow> meter{};
    std::size_t meterCount = 0;
};

// A cue being played: its stream and the samples it plays.
struct CueStream {
    pa_stream *stream = nullptr;
    QByteArray pcm;
};

class PulseCuePlayer final : public CuePlayer {
  public:
    void play(const QString &name, const QByteArray &wav) override
    {
        // Connecting again (the sound server restarted) may take a second,
        // which the press that plays the cue must not wait for.
        if (!PulseConnection::instance().readyNow()) {
            startThread(QStringLiteral("Cue"), [this, name, wav] { playConnected(name, wav); });
            return;
        }
        playConnected(name, wav);
    }

  private:
    void playConnected(const QString &name, const QByteArray &wav)
    {
        QString error;
        PulseConnection &pulse = PulseConnection::instance();
        if (!pulse.ensureReady(&error))
            return; // no sound server: cues are a courtesy, never a reason to stall
        const std::optional<WavAudio> format = parseWav(wav);
        if (!format || format->bitsPerSample != 16 || format->samples.isEmpty())
            return;
        PulseConnection::Lock lock;
        if (CueStream *playing = streams.take(name))
            finish(playing);
        auto *cue = new CueStream{nullptr, format->samples};
        const pa_sample_spec spec{PA_SAMPLE_S16LE, std::uint32_t(format->sampleRate),
                                  std::uint8_t(format->channels)};
        pa_proplist *props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "event");
        pa_proplist_sets(props, PA_PROP_MEDIA_NAME, name.toUtf8().constData());
        cue->stream = pa_stream_new_with_proplist(pulse.context(), name.toUtf8().constData(), &spec,
                                                  nullptr, props);
        pa_proplist_free(props);
        if (!cue->stream) {
            delete cue;
            return;
        }
        pa_stream_set_state_callback(
            cue->stream,
            [](pa_stream *s, void *userdata) {
                auto *c = static_cast<CueStream *>(userdata);
                if (pa_stream_get_state(s) != PA_STREAM_READY)
                    return;
                pa_stream_write(s, c->pcm.constData(), size_t(c->pcm.size()), nullptr, 0,
                                PA_SEEK_RELATIVE);
                pa_operation_unref(pa_stream_drain(s, nullptr, nullptr));
            },
            cue);
        if (pa_stream_connect_playback(cue->stream, nullptr, nullptr, pa_stream_flags_t(0), nullptr,
                                       nullptr) < 0) {
            finish(cue);
            return;
        }
        streams.insert(name, cue);
    }

    // Loop locked.
    static void finish(CueStream *cue)
    {
        closeStream(cue->stream);
        delete cue;
    }

    QHash<QString, CueStream *> streams; // under the loop's lock
};

// The inputs and one input's level, while the settings window is open. The
// sound server's callbacks run on its loop thread and hand their results to
// the main thread through context, which dies first with this object.
class PulseSourceWatch final : public AudioSourceWatch {
  public:
    PulseSourceWatch(SourcesChanged sources, LevelChanged level)
        : onSources(std::move(sources))
        , onLevel(std::move(level))
    {
        PulseConnection::Lock lock;
        pa_context *c = PulseConnection::instance().context();
        pa_context_set_subscribe_callback(
            c,
            [](pa_context *, pa_subscription_event_type_t, uint32_t, void *self) {
                static_cast<PulseSourceWatch *>(self)->list();
            },
            this);
        if (pa_operation *op = pa_context_subscribe(
                c,
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr))
            pa_operation_unref(op);
        list();
    }

    ~PulseSourceWatch() override
    {
        // Locked: the loop's callbacks post to context while they hold the lock.
        PulseConnection::Lock lock;
        delete context;
        pa_context *c = PulseConnection::instance().context();
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        if (pa_operation *op = pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_NULL, nullptr, nullptr))
            pa_operation_unref(op);
        if (listing) {
            pa_operation_cancel(listing);
            pa_operation_unref(listing);
        }
        closeStream(meter);
    }

    void watchLevel(const QString &source) override
    {
        PulseConnection::Lock lock;
        watched = source.toUtf8();
        openMeter();
    }

  private:
    // Loop locked (every caller holds it or is a callback of the loop).
    void list()
    {
        if (listing)
            return; // the one under way reads the change too
        found.clear();
        listing = pa_context_get_source_info_list(
            PulseConnection::instance().context(),
            [](pa_context *, const pa_source_info *info, int eol, void *self) {
                auto *watch = static_cast<PulseSourceWatch *>(self);
                if (info && info->monitor_of_sink == PA_INVALID_INDEX)
                    watch->found.append(
                        {QString::fromUtf8(info->name), QString::fromUtf8(info->description)});
                if (!eol)
                    return;
                pa_operation_unref(std::exchange(watch->listing, nullptr));
                QMetaObject::invokeMethod(
                    watch->context,
                    [watch, sources = watch->found] {
                        watch->onSources(sources);
                        // A source back from an unplugging is listened to again.
                        PulseConnection::Lock lock;
                        if (!watch->meter || watch->broken)
                            watch->openMeter();
                    },
                    Qt::QueuedConnection);
            },
            this);
    }

    void openMeter()
    {
        closeStream(meter);
        const pa_sample_spec spec{PA_SAMPLE_S16LE, sampleRate, 1};
        meter = pa_stream_new(PulseConnection::instance().context(), "Input level", &spec, nullptr);
        if (!meter)
            return;
        pa_stream_set_read_callback(
            meter,
            [](pa_stream *s, size_t, void *self) {
                static_cast<PulseSourceWatch *>(self)->readLevel(s);
            },
            this);
        pa_stream_set_state_callback(
            meter,
            [](pa_stream *s, void *self) {
                // Gone with its source: opened again when the list changes.
                if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
                    static_cast<PulseSourceWatch *>(self)->broken = true;
            },
            this);
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.fragsize = sampleRate * 2 / 10;
        broken = false;
        if (pa_stream_connect_record(meter, watched.isEmpty() ? nullptr : watched.constData(),
                                     &attr, PA_STREAM_ADJUST_LATENCY) < 0)
            closeStream(meter);
    }

    void readLevel(pa_stream *s)
    {
        const void *data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 &&
               bytes > 0) {
            if (data) {
                const float db = averagePowerDb(static_cast<const std::int16_t *>(data), bytes / 2);
                QMetaObject::invokeMethod(
                    context, [this, db] { onLevel(db); }, Qt::QueuedConnection);
            }
            pa_stream_drop(s);
        }
    }

    SourcesChanged onSources;
    LevelChanged onLevel;
    QObject *context = new QObject;
    pa_operation *listing = nullptr;
    QList<AudioSource> found; // the listing under way
    QByteArray watched;
    pa_stream *meter = nullptr;
    bool broken = false;
};

} // namespace

std::unique_ptr<AudioSourceWatch> watchPulseSources(SourcesChanged sources, LevelChanged level)
{
    QString error;
    if (!PulseConnection::instance().ensureReady(&error))
        return nullptr;
    return std::make_unique<PulseSourceWatch>(std::move(sources), std::move(level));
}

std::unique_ptr<AudioRecorder> createPulseRecorder()
{
    return std::make_unique<PulseRecorder>();
}

CuePlayer &pulseCuePlayer()
{
    static PulseCuePlayer *player = new PulseCuePlayer; // lives until exit
    return *player;
}

void queryPulseMicrophone(std::function<void(bool available)> answer)
{
    startThread(QStringLiteral("Microphone"), [answer = std::move(answer)] {
        QString error;
        PulseConnection &pulse = PulseConnection::instance();
        if (!pulse.ensureReady(&error)) {
            answer(false);
            return;
        }
        struct Query {
            bool done = false;
            bool found = false;
            QByteArray source;
        };
        // Heap-held: a callback may still arrive after we gave up waiting.
        auto *query = new Query;
        bool found = false;
        {
            PulseConnection::Lock lock;
            pa_operation *op = pa_context_get_server_info(
                pulse.context(),
                [](pa_context *c, const pa_server_info *info, void *userdata) {
                    auto *q = static_cast<Query *>(userdata);
                    if (!info || !info->default_source_name) {
                        q->done = true;
                        pa_threaded_mainloop_signal(PulseConnection::instance().loop(), 0);
                        return;
                    }
                    q->source = info->default_source_name;
                    pa_operation_unref(pa_context_get_source_info_by_name(
                        c, q->source.constData(),
                        [](pa_context *, const pa_source_info *source, int eol, void *userdata) {
                            auto *q = static_cast<Query *>(userdata);
                            q->found = q->found || source != nullptr;
                            if (eol) {
                                q->done = true;
                                pa_threaded_mainloop_signal(PulseConnection::instance().loop(), 0);
                            }
                        },
                        q));
                },
                query);
            if (op) {
                pulse.waitLocked([query] { return query->done; }, 2000);
                pa_operation_unref(op);
            }
            found = query->found;
            if (query->done || !op)
                delete query;
        }
        answer(found);
    });
}

} // namespace parlotta
