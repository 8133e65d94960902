#include "dictation/cues.h"

#include "platform/audio.h"

#include <QFile>

namespace parlotta {

Sound soundTink;
Sound soundPop;
Sound soundBasso;

namespace {

bool loadSound(Sound &sound, const QString &name, QString *error)
{
    QFile file(QStringLiteral(":/parlotta/sounds/%1.wav").arg(name));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot load the %1 sound: %2").arg(name, file.errorString());
        return false;
    }
    sound = {name, file.readAll()};
    return true;
}

} // namespace

bool loadSounds(QString *error)
{
    return loadSound(soundTink, QStringLiteral("tink"), error) &&
           loadSound(soundPop, QStringLiteral("pop"), error) &&
           loadSound(soundBasso, QStringLiteral("basso"), error);
}

void playSound(const Sound &sound)
{
    cuePlayer().play(sound.name, sound.wav);
}

} // namespace parlotta
