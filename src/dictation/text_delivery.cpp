#include "dictation/text_delivery.h"

#include "core/languages.h"
#include "core/preferences.h"
#include "platform/key_injector.h"

#include <QElapsedTimer>
#include <atomic>

namespace parlotta {

namespace {

constexpr int recentApplicationLimit = 10;
// Where keys are not seen: how long after a paste the next dictation into the
// same window still continues it.
constexpr qint64 continuationMs = 60000;

std::atomic<quint64> userKeys{0};
std::atomic<bool> keysSeen{false};

struct LastPaste {
    QByteArray window;
    QString text;
    QElapsedTimer since;
    quint64 keys = 0;
};
LastPaste last;

void rememberApplication(const QString &application)
{
    if (application.isEmpty())
        return;
    const QStringList before = recentApplications();
    QStringList recent = before;
    recent.removeAll(application);
    recent.prepend(application);
    if (recent.size() > recentApplicationLimit)
        recent.resize(recentApplicationLimit);
    if (recent != before) // a dictation into the same application writes nothing
        setPreference(prefRecentApplications, recent);
}

} // namespace

TextSettings storedTextSettings()
{
    TextSettings settings;
    settings.removeFillers = preferenceBool(prefRemoveFillers, true);
    settings.lineCommands = preferenceBool(prefLineCommands, true);
    settings.spokenPunctuation = preferenceBool(prefSpokenPunctuation, false);
    settings.replacements = readReplacements(preferenceString(prefReplacements, {}));
    settings.rules = readRules(preferenceString(prefApplicationRules, {}));
    return settings;
}

Delivery prepareDelivery(const QString &transcript)
{
    const KeyInjector::FocusedWindow focused = keyInjector().focusedWindow();
    TextTarget target;
    target.application = QString::fromUtf8(focused.application);
    target.terminal = focused.terminal;
    target.continues = !focused.id.isEmpty() && focused.id == last.window && last.since.isValid() &&
                       (keysSeen ? userKeys == last.keys : last.since.elapsed() < continuationMs);
    target.previous = last.text;
    const Delivery delivery =
        processTranscript(transcript, selectedLanguageCode(), target, storedTextSettings());
    if (!delivery.text.isEmpty()) {
        last.window = focused.id;
        // Enter ends the line: what follows starts one of its own.
        last.text = delivery.pressEnter ? delivery.text + u'\n' : delivery.text;
        last.since.start();
        last.keys = userKeys;
    }
    rememberApplication(target.application);
    return delivery;
}

void noteUserKey()
{
    ++userKeys;
}

void setKeysSeen(bool seen)
{
    keysSeen = seen;
}

QStringList recentApplications()
{
    return preferenceValue(prefRecentApplications).toStringList();
}

} // namespace parlotta
