#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

namespace parlotta {

inline constexpr int wavHeaderSize = 44;

// The 44-byte RIFF header of a PCM WAV file holding dataBytes of samples.
QByteArray wavHeader(std::uint32_t dataBytes, int sampleRate = 16000, int channels = 1,
                     int bitsPerSample = 16);

struct WavAudio {
    int sampleRate = 0;
    int channels = 0;
    int bitsPerSample = 0;
    QByteArray samples; // little-endian PCM
};

// Reads a PCM WAV file's format and samples; nothing when it is not one.
std::optional<WavAudio> parseWav(const QByteArray &file);

// Average power of 16-bit samples in dBFS, clamped to -160...0 (silence: -160).
float averagePowerDb(const std::int16_t *samples, std::size_t count);

} // namespace parlotta
