// parakeet-server: one Parakeet model, loaded once, answering whisper.cpp's
// /inference form on loopback (or wherever --host says), so the daemon and
// other machines' clients send it what they send whisper-server.
//
//   parakeet-server --model FILE [--host H] [--port N] [--threads N] [--no-gpu]
//                   [--inference-path /inference] [--language CODE]
//
// It loads the model, runs one silent pass (the first request would otherwise
// pay for the graphs' setup) and only then listens. One request is computed at
// a time; bad input gets a 4xx and its reason as {"error": …}.

#include "models/model_header.h"
#include "parakeet.h"

#include "httplib.h"
#include "json.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using parlotta::ModelEngine;
using parlotta::modelEngineOfFile;

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 8178;
    std::string model;
    int threads = 4;
    bool gpu = true;
    std::string inferencePath = "/inference";
};

// Ten minutes of 16 kHz 16-bit mono is 19.2 MB; anything much larger is not a dictation.
constexpr std::size_t bodyLimit = 32u << 20;
// The silent pass before listening, and what its time is reported for.
constexpr int warmUpSeconds = 5;
// Shorter audio is padded with silence: the encoder needs a few frames.
constexpr int minimumSamples = PARAKEET_SAMPLE_RATE / 2;

void usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s --model FILE [--host 127.0.0.1] [--port 8178] [--threads N] "
                 "[--no-gpu] [--inference-path /inference] [--language CODE]\n",
                 program);
}

std::optional<Options> parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto number = [&](int &into, int low, int high) {
            char *end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < low || value > high)
                return false;
            into = int(value);
            return true;
        };
        if (arg == "--no-gpu" || arg == "-ng") {
            options.gpu = false;
        } else if (arg == "--no-timestamps") {
            // whisper-server's option: Parakeet's answer carries none anyway.
        } else if (!hasValue) {
            std::fprintf(stderr, "error: unknown option or missing value: %s\n", arg.c_str());
            return std::nullopt;
        } else if (arg == "--host") {
            options.host = argv[++i];
        } else if (arg == "--port") {
            if (!number(options.port, 1, 65535)) {
                std::fprintf(stderr, "error: --port takes a number from 1 to 65535\n");
                return std::nullopt;
            }
        } else if (arg == "--threads" || arg == "-t") {
            if (!number(options.threads, 1, 1024)) {
                std::fprintf(stderr, "error: --threads takes a positive number\n");
                return std::nullopt;
            }
        } else if (arg == "--model" || arg == "-m") {
            options.model = argv[++i];
        } else if (arg == "--inference-path") {
            options.inferencePath = argv[++i];
            if (options.inferencePath.empty() || options.inferencePath.front() != '/') {
                std::fprintf(stderr, "error: --inference-path must begin with /\n");
                return std::nullopt;
            }
        } else if (arg == "--language" || arg == "-l") {
            ++i; // Parakeet finds the language itself; accepted for whisper-server's command line
        } else {
            std::fprintf(stderr, "error: unknown option: %s\n", arg.c_str());
            return std::nullopt;
        }
    }
    if (options.model.empty()) {
        std::fprintf(stderr, "error: no model given (--model FILE)\n");
        return std::nullopt;
    }
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    options.threads = std::min(options.threads, cores);
    return options;
}

// The file name the model is known by: current.bin is a link to it.
std::string modelFileName(const std::string &path)
{
    char resolved[PATH_MAX];
    const std::string real = realpath(path.c_str(), resolved) ? resolved : path;
    return real.substr(real.find_last_of('/') + 1);
}

struct Audio {
    std::vector<float> samples;
    std::string problem; // why the body is not usable audio; empty when it is
};

std::uint32_t little32(const std::string &bytes, std::size_t at)
{
    return std::uint32_t(std::uint8_t(bytes[at])) |
           std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
}

std::uint16_t little16(const std::string &bytes, std::size_t at)
{
    return std::uint16_t(std::uint8_t(bytes[at]) | std::uint8_t(bytes[at + 1]) << 8);
}

// A RIFF WAVE of 16-bit PCM, 16 kHz, one channel: what the daemon records.
// Chunks are walked by their sizes, each checked against what is there.
Audio readWav(const std::string &bytes)
{
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return {{}, "the file is not a WAV (RIFF/WAVE) file"};
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const std::size_t size = little32(bytes, at + 4);
        const std::size_t body = at + 8;
        const std::size_t available = bytes.size() - body;
        if (id == "fmt ") {
            if (size < 16 || available < 16)
                return {{}, "the WAV's format chunk is cut short"};
            const int format = little16(bytes, body), channels = little16(bytes, body + 2);
            const std::uint32_t rate = little32(bytes, body + 4);
            const int bits = little16(bytes, body + 14);
            if (format != 1 || bits != 16 || channels != 1 || rate != PARAKEET_SAMPLE_RATE)
                return {
                    {},
                    "the audio must be 16 kHz, one channel, 16-bit PCM; this is " +
                        std::to_string(rate) + " Hz, " + std::to_string(channels) +
                        " channel(s), " + std::to_string(bits) + "-bit" +
                        (format == 1 ? std::string(" PCM") : " format " + std::to_string(format))};
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat)
                return {{}, "the WAV has no format chunk before its data"};
            // A recording cut off while written keeps what is there.
            const std::size_t count = std::min(size, available) / 2;
            if (count == 0)
                return {{}, "the WAV holds no audio"};
            Audio audio;
            audio.samples.resize(std::max<std::size_t>(count, minimumSamples), 0.0f);
            for (std::size_t i = 0; i < count; ++i)
                audio.samples[i] = float(std::int16_t(little16(bytes, body + 2 * i))) / 32768.0f;
            return audio;
        }
        if (size > available)
            break;
        at = body + size + (size & 1);
    }
    return {{}, "the WAV has no audio data"};
}

class Engine {
  public:
    bool load(const Options &options)
    {
        threads = options.threads;
        gpu = options.gpu;
        parakeet_context_params params = parakeet_context_default_params();
        params.use_gpu = options.gpu;
        context = parakeet_init_from_file_with_params_no_state(options.model.c_str(), params);
        return context != nullptr;
    }
    ~Engine()
    {
        if (state)
            parakeet_free_state(state);
        if (context)
            parakeet_free(context);
    }

    // The text of the audio; nothing when the library failed. One at a time.
    std::optional<std::string> transcribe(const std::vector<float> &samples,
                                          const std::function<bool()> &abandoned)
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The library sizes its encoder to the clip; on a GPU its state does
        // not survive a change of size (the next pass crashes), so there each
        // clip of another length gets a fresh state. On the CPU it does.
        const int frames = int(samples.size()) / PARAKEET_HOP_LENGTH;
        if (state && gpu && frames != stateFrames) {
            parakeet_free_state(state);
            state = nullptr;
        }
        if (!state) {
            state = parakeet_init_state(context);
            stateFrames = frames;
        }
        if (!state)
            return std::nullopt;
        parakeet_full_params params = parakeet_full_default_params(PARAKEET_SAMPLING_GREEDY);
        params.n_threads = threads;
        params.no_context = true;
        // A client that went away no longer needs its answer.
        params.abort_callback = [](void *data) {
            const auto *check = static_cast<const std::function<bool()> *>(data);
            return *check && (*check)();
        };
        params.abort_callback_user_data = const_cast<std::function<bool()> *>(&abandoned);
        if (parakeet_full_with_state(context, state, params, samples.data(), int(samples.size())) !=
            0)
            return std::nullopt;
        std::string text;
        for (int i = 0, n = parakeet_full_n_segments_from_state(state); i < n; ++i)
            text += parakeet_full_get_segment_text_from_state(state, i);
        return text;
    }

  private:
    parakeet_context *context = nullptr;
    parakeet_state *state = nullptr;
    int stateFrames = 0;
    int threads = 1;
    bool gpu = false;
    std::mutex mutex;
};

// JSON of any text: bytes that are not UTF-8 (a request's field, a piece of
// a character) are replaced rather than thrown over.
std::string jsonText(const nlohmann::json &value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void answerError(httplib::Response &response, int status, const std::string &message)
{
    response.status = status;
    response.set_content(jsonText({{"error", message}}), "application/json");
}

std::string field(const httplib::Request &request, const char *name)
{
    return request.has_file(name) ? request.get_file_value(name).content : std::string();
}

// Set once the server listens; until then there is nothing to finish.
std::atomic<httplib::Server *> listening{nullptr};

// SIGTERM or SIGINT: while loading, the server ends at once; listening, it
// stops taking requests and ends once the one being computed is answered; a
// second signal ends it at once.
void watchSignals(const sigset_t &signals)
{
    std::thread([signals] {
        int received = 0;
        sigwait(&signals, &received);
        httplib::Server *server = listening.load();
        if (!server)
            _exit(128 + received);
        // Set just before it starts accepting: a stop before that would be lost.
        while (!server->is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server->stop();
        sigwait(&signals, &received);
        _exit(1);
    }).detach();
}

} // namespace

int main(int argc, char **argv)
{
    const auto options = parseOptions(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }
    // Every thread started from here on leaves these to the watcher.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    watchSignals(signals);

    if (access(options->model.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "error: failed to open '%s': %s\n", options->model.c_str(),
                     std::strerror(errno));
        return 3;
    }
    // The library trusts the file's header: a whisper model read as Parakeet
    // would be misread, so only a Parakeet file is loaded.
    switch (modelEngineOfFile(options->model)) {
    case ModelEngine::Parakeet:
        break;
    case ModelEngine::Whisper:
        std::fprintf(stderr, "error: '%s' is a whisper model, not a Parakeet model\n",
                     options->model.c_str());
        return 3;
    case ModelEngine::Unknown:
        std::fprintf(stderr, "error: '%s' is not a Parakeet model (ggml) file\n",
                     options->model.c_str());
        return 3;
    }
    ggml_backend_load_all();
    Engine engine;
    if (!engine.load(*options)) {
        std::fprintf(stderr, "error: failed to load the Parakeet model from '%s'\n",
                     options->model.c_str());
        return 3;
    }
    const std::string modelName = modelFileName(options->model);

    const auto warmUpStart = std::chrono::steady_clock::now();
    const std::vector<float> silence(std::size_t(warmUpSeconds) * PARAKEET_SAMPLE_RATE, 0.0f);
    if (!engine.transcribe(silence, {})) {
        std::fprintf(stderr, "error: the model failed its first pass\n");
        return 3;
    }
    const long long warmUpMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - warmUpStart)
                                   .count();
    std::fprintf(stderr, "parakeet-server: warm-up pass: %d s of audio in %lld ms\n", warmUpSeconds,
                 warmUpMs);

    httplib::Server server;
    server.set_payload_max_length(bodyLimit);
    server.set_default_headers({{"Server", "parakeet-server"}});
    server.Get("/health", [&](const httplib::Request &, httplib::Response &response) {
        const nlohmann::json health = {{"status", "ok"},
                                       {"engine", "parakeet"},
                                       {"model", modelName},
                                       {"warmup_audio_ms", warmUpSeconds * 1000},
                                       {"warmup_ms", warmUpMs}};
        response.set_content(jsonText(health), "application/json");
    });
    server.Post(options->inferencePath, [&](const httplib::Request &request,
                                            httplib::Response &response) {
        if (!request.is_multipart_form_data() || !request.has_file("file"))
            return answerError(response, 400, "no 'file' field in the request");
        const std::string format = request.has_file("response_format")
                                       ? field(request, "response_format")
                                       : std::string("json");
        if (format != "json" && format != "text")
            return answerError(response, 400,
                               "response_format '" + format + "' is not served; use json or text");
        const std::string language = field(request, "language");
        if (!language.empty() && language != "auto" &&
            !parlotta::parakeetKnowsLanguage(modelName, language))
            return answerError(response, 400,
                               "the model " + modelName + " does not know the language '" +
                                   language + "'");
        const Audio audio = readWav(request.get_file_value("file").content);
        if (!audio.problem.empty())
            return answerError(response, 400, audio.problem);
        const std::function<bool()> abandoned = [&request] {
            return request.is_connection_closed();
        };
        const auto text = engine.transcribe(audio.samples, abandoned);
        if (!text)
            return answerError(response, 500, "the model failed on this audio");
        if (format == "text")
            response.set_content(*text + "\n", "text/plain; charset=utf-8");
        else
            response.set_content(jsonText({{"text", *text}}), "application/json");
    });
    // httplib's own refusals (too large, no such path) carry a reason too.
    server.set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (!response.body.empty())
            return;
        if (response.status == 413)
            answerError(response, 413,
                        "the request is larger than " + std::to_string(bodyLimit >> 20) +
                            " MB; a dictation is far smaller");
        else
            answerError(response, response.status, httplib::status_message(response.status));
    });
    server.set_exception_handler(
        [](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
            answerError(response, 500, "the request could not be handled");
        });

    if (!server.bind_to_port(options->host, options->port)) {
        std::fprintf(stderr, "error: cannot listen at %s:%d: %s\n", options->host.c_str(),
                     options->port, std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "parakeet server listening at http://%s:%d\n", options->host.c_str(),
                 options->port);
    listening = &server;
    server.listen_after_bind();
    return 0;
}
