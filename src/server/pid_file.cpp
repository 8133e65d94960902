#include "server/pid_file.h"

#include <QRegularExpression>

namespace parlotta {

std::optional<qint32> parsePidFile(const QByteArray &content)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    const QString text = QString::fromUtf8(content).trimmed();
    if (!number.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint32 pid = text.toInt(&ok);
    return ok ? std::optional(pid) : std::nullopt;
}

} // namespace parlotta
