#pragma once

#include <QByteArray>
#include <QString>
#include <ctime>

namespace parlotta {

// Appends one line "YYYY-MM-DD HH:MM:SS +0000: message\n" (UTC, UTF-8) to the
// daemon's log. Safe from any thread: each line is one write in append mode,
// so lines never interleave. Never fails visibly; before openLog it does nothing.
void log(const QString &message);

// The bytes log writes for a message at a given time.
QByteArray formatLogLine(std::time_t when, const QString &message);

// Creates the log at path (the daemon's is logPath) empty, replacing an earlier
// log, and opens it for appending. Returns false with a reason in *error when
// it cannot be opened for writing.
bool openLog(const QString &path, QString *error);

void closeLog();

// The open log's descriptor (append mode), or -1: for a helper process that
// outlives the daemon and must still be heard.
int logDescriptor();

} // namespace parlotta
