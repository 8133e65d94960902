#pragma once

#include <QString>
#include <cerrno>

namespace parlotta {

// The C library's description of an error number, for "ERROR: " lines and
// error texts: "No such file or directory".
QString systemErrorText(int error = errno);

} // namespace parlotta
