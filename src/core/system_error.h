#pragma once

#include <QString>
#include <cerrno>

namespace parlotta {

// The C library's description of an error number, for "ERROR: " lines and
// error texts: "No such file or directory".
QString systemErrorText(int error = errno);

// Writes all of data to fd, again where a signal cut a write short. False
// with the reason (a full disk when the file takes no more) when it fails.
bool writeAll(int fd, const char *data, qsizetype size, QString *error = nullptr);

} // namespace parlotta
