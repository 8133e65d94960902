#include "models/model_store.h"

#include "core/events.h"
#include "core/log.h"
#include "core/system_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace parlotta {

QString modelDir()
{
    return QDir::homePath() + QStringLiteral("/.config/parlotta/models");
}

QString currentModelLink()
{
    return modelDir() + QStringLiteral("/current.bin");
}

QString modelPath(const QString &name)
{
    return modelDir() + QStringLiteral("/ggml-") + name + QStringLiteral(".bin");
}

bool isModelInstalled(const QString &name)
{
    return QFileInfo::exists(modelPath(name));
}

std::optional<QString> modelNameFromFileName(const QString &fileName)
{
    if (!fileName.startsWith(QLatin1String("ggml-")) || !fileName.endsWith(QLatin1String(".bin")) ||
        fileName.size() < 9)
        return std::nullopt;
    return fileName.mid(5, fileName.size() - 9);
}

std::optional<QString> activeModel()
{
    // Empty when current.bin is missing or not a link; a dangling link still names its model.
    const QString destination = QFile::symLinkTarget(currentModelLink());
    if (destination.isEmpty())
        return std::nullopt;
    return modelNameFromFileName(destination.section(u'/', -1));
}

bool activateModel(const QString &name)
{
    const QByteArray link = QFile::encodeName(currentModelLink());
    const QByteArray temporary =
        QFile::encodeName(modelDir() + QStringLiteral("/.current.bin.tmp"));
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(modelPath(name)).constData(), temporary.constData()) != 0) {
        log(QStringLiteral("ERROR: could not link model %1: %2").arg(name, systemErrorText()));
        return false;
    }
    // rename replaces the old link in one step: a reader always finds a link.
    if (::rename(temporary.constData(), link.constData()) != 0) {
        log(QStringLiteral("ERROR: could not activate model %1: %2").arg(name, systemErrorText()));
        return false;
    }
    log(QStringLiteral("Model switched to ") + name);
    Q_EMIT daemonEvents().modelActivated();
    return true;
}

} // namespace parlotta
