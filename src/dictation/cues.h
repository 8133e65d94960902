#pragma once

#include <QByteArray>
#include <QString>

namespace parlotta {

// A cue: a short sound held fully in memory (a WAV file's bytes).
struct Sound {
    QString name;
    QByteArray wav;
};

extern Sound soundTink;  // a recording is about to begin
extern Sound soundPop;   // text has been pasted
extern Sound soundBasso; // a dictation was dropped

// Loads the three cues built into the binary, in the order Tink, Pop, Basso.
// Returns false with the name of the one that failed in *error.
bool loadSounds(QString *error);

// Plays a cue from its start, cutting off the same cue if it is still sounding.
void playSound(const Sound &sound);

} // namespace parlotta
