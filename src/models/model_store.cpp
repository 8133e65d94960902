#include "models/model_store.h"

#include <QDir>

namespace parlotta {

QString modelDir()
{
    return QDir::homePath() + QStringLiteral("/.config/parlotta/models");
}

// The store arrives with server supervision; until then no model is active.
QString activeModel()
{
    return {};
}

} // namespace parlotta
