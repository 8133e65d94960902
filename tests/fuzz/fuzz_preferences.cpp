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
    {
        QFile file(preferencesFilePath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write("[General]\n"_ba +
                   QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
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
