// The preference file as a hand edit may leave it: whatever it holds, the
// readers give values inside the model and the hotkey can be named.
#include "core/preferences.h"
#include "fake_platform.h"
#include "hotkey/hotkey_model.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir config;
    static const bool configured = [] {
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        fake::reset(); // the layout questions of the default hotkey
        return QDir().mkpath(config.path() + u"/parlotta"_s);
    }();
    (void)configured;
    // Qt decodes "@Variant(...)" with QDataStream, which reserves whatever a
    // claimed list length asks: the daemon's glibc refuses it (57 GB) or leaves
    // it untouched (16 GB claimed, 10 MB used), but ASan aborts on the refusal
    // and its shadow memory makes the rest an out-of-memory here. That decoder is Qt's, not ours:
    // no '@', and no numeric escape that could spell one, reaches it.
    QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool numericEscape =
            text[i] == '\\' && i + 1 < text.size() &&
            (text[i + 1] == 'x' || (text[i + 1] >= '0' && text[i + 1] <= '7'));
        if (text[i] == '@' || numericEscape)
            text[i] = '#';
    }
    {
        QFile file(preferencesFilePath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write("[General]\n"_ba + text);
    }
    const std::int64_t code = selectedHotkey();
    const std::uint64_t modifiers = selectedHotkeyModifiers();
    if (code < hotkeyNone || code > 65535)
        std::abort();
    if (hotkeyName(code, modifiers).isEmpty())
        std::abort();
    (void)selectedLanguageCode();
    (void)showLanguageCodeEnabled();
    return 0;
}
