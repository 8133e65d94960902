#include "platform/wav.h"

#include <QtEndian>
#include <cmath>
#include <cstring>

namespace parlotta {

namespace {

void put32(QByteArray &b, std::uint32_t v)
{
    char raw[4];
    qToLittleEndian(v, raw);
    b.append(raw, 4);
}

void put16(QByteArray &b, std::uint16_t v)
{
    char raw[2];
    qToLittleEndian(v, raw);
    b.append(raw, 2);
}

} // namespace

QByteArray wavHeader(std::uint32_t dataBytes, int sampleRate, int channels, int bitsPerSample)
{
    const std::uint16_t blockAlign = std::uint16_t(channels * bitsPerSample / 8);
    QByteArray h;
    h.reserve(wavHeaderSize);
    h.append("RIFF");
    put32(h, 36 + dataBytes);
    h.append("WAVEfmt ");
    put32(h, 16);
    put16(h, 1); // PCM
    put16(h, std::uint16_t(channels));
    put32(h, std::uint32_t(sampleRate));
    put32(h, std::uint32_t(sampleRate) * blockAlign);
    put16(h, blockAlign);
    put16(h, std::uint16_t(bitsPerSample));
    h.append("data");
    put32(h, dataBytes);
    return h;
}

std::optional<WavAudio> parseWav(const QByteArray &file)
{
    if (file.size() < 12 || !file.startsWith("RIFF") || file.mid(8, 4) != "WAVE")
        return std::nullopt;
    WavAudio wav;
    bool haveFormat = false;
    qsizetype pos = 12;
    while (pos + 8 <= file.size()) {
        const QByteArray id = file.mid(pos, 4);
        const qsizetype size = qFromLittleEndian<std::uint32_t>(file.constData() + pos + 4);
        const qsizetype body = pos + 8;
        const qsizetype available = std::min(size, file.size() - body);
        if (id == "fmt " && available >= 16) {
            const char *f = file.constData() + body;
            if (qFromLittleEndian<std::uint16_t>(f) != 1)
                return std::nullopt;
            wav.channels = qFromLittleEndian<std::uint16_t>(f + 2);
            wav.sampleRate = int(qFromLittleEndian<std::uint32_t>(f + 4));
            wav.bitsPerSample = qFromLittleEndian<std::uint16_t>(f + 14);
            haveFormat = true;
        } else if (id == "data" && haveFormat) {
            wav.samples = file.mid(body, available);
            return wav;
        }
        pos = body + size + (size & 1);
    }
    return std::nullopt;
}

float averagePowerDb(const std::int16_t *samples, std::size_t count)
{
    if (count == 0)
        return -160.0f;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * double(samples[i]);
    const double meanSquare = sum / double(count) / (32768.0 * 32768.0);
    if (meanSquare <= 0)
        return -160.0f;
    return float(std::clamp(10.0 * std::log10(meanSquare), -160.0, 0.0));
}

} // namespace parlotta
