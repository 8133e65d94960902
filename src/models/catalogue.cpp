#include "models/catalogue.h"

#include "core/deployment.h"
#include "core/preferences.h"
#include "models/model_store.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <sys/stat.h>

namespace parlotta {

namespace {
constexpr qint64 mebibyte = 1048576;
constexpr qint64 gibibyte = 1073741824;
} // namespace

const QList<ModelEntry> fallbackModels = {
    {QStringLiteral("tiny"), 75 * mebibyte},
    {QStringLiteral("tiny.en"), 75 * mebibyte},
    {QStringLiteral("base"), 142 * mebibyte},
    {QStringLiteral("base.en"), 142 * mebibyte},
    {QStringLiteral("small"), 466 * mebibyte},
    {QStringLiteral("small.en"), 466 * mebibyte},
    {QStringLiteral("parakeet-tdt-0.6b-v3-q8_0"), 639 * mebibyte},
    {QStringLiteral("parakeet-tdt-0.6b-v3-f16"), 1202 * mebibyte},
    {QStringLiteral("medium"), 1462 * mebibyte},
    {QStringLiteral("medium.en"), 1462 * mebibyte},
    {QStringLiteral("large-v3-turbo"), 1549 * mebibyte},
    {QStringLiteral("large-v1"), 2953 * mebibyte},
    {QStringLiteral("large-v2"), 2953 * mebibyte},
    {QStringLiteral("large-v3"), 2953 * mebibyte},
};

QString recommendedModel(bool gpu)
{
    return gpu ? QStringLiteral("large-v3-turbo") : QStringLiteral("parakeet-tdt-0.6b-v3-q8_0");
}

bool machineHasGpu()
{
    return !QDir(QStringLiteral("/dev/dri"))
                .entryList({QStringLiteral("renderD*")}, QDir::System)
                .isEmpty();
}

ModelEngine engineOfModelName(const QString &name)
{
    return name.startsWith(u"parakeet") ? ModelEngine::Parakeet : ModelEngine::Whisper;
}

QString hubURL()
{
    QString base = qEnvironmentVariable("HF_ENDPOINT");
    if (base.isEmpty())
        base = hubBaseURL;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

namespace {

QString repository(ModelEngine engine)
{
    return engine == ModelEngine::Parakeet ? hubParakeetRepository
                                           : hubOwner + QStringLiteral("/whisper.cpp");
}

} // namespace

QString modelListURL(const QString &hub, ModelEngine engine)
{
    return hub + QStringLiteral("/api/models/") + repository(engine) + QStringLiteral("/tree/main");
}

QString modelBaseURL(const QString &hub, ModelEngine engine)
{
    return hub + QLatin1Char('/') + repository(engine) + QStringLiteral("/resolve/main");
}

std::optional<ModelListing> parseModelListing(const QByteArray &body, ModelEngine engine)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isArray())
        return std::nullopt;
    const QJsonArray array = document.array();
    static const QRegularExpression hex64(QStringLiteral("^[0-9a-f]{64}$"));
    ModelListing listing;
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return std::nullopt;
        const QJsonObject object = element.toObject();
        const QJsonValue path = object.value(QLatin1String("path"));
        const QJsonValue size = object.value(QLatin1String("size"));
        const std::optional<QString> name =
            path.isString() ? modelNameFromFileName(path.toString()) : std::nullopt;
        // A size no 64-bit count can hold (1e23, say) is no size.
        const double bytes = size.toDouble();
        if (!name || !size.isDouble() || !(std::abs(bytes) < 9.2e18) ||
            engineOfModelName(*name) != engine)
            continue;
        listing.models.append({*name, qint64(bytes)});
        const QString sha =
            object.value(QLatin1String("lfs")).toObject().value(QLatin1String("oid")).toString();
        if (hex64.match(sha).hasMatch())
            listing.sha256.insert(*name, sha.toLatin1());
    }
    return listing;
}

QList<ModelEntry> mergedWithInstalledModels(QList<ModelEntry> models)
{
    const QStringList files =
        QDir(modelDir())
            .entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDir::Unsorted);
    for (const QString &file : files) {
        const std::optional<QString> name = modelNameFromFileName(file);
        if (!name || std::any_of(models.cbegin(), models.cend(),
                                 [&](const ModelEntry &m) { return m.name == *name; }))
            continue;
        // The link's own size, not its target's: a link is what the user put there.
        struct stat info {};
        const qint64 size =
            ::lstat(QFile::encodeName(modelDir() + QLatin1Char('/') + file).constData(), &info) == 0
                ? qint64(info.st_size)
                : 0;
        models.append({*name, size});
    }
    std::stable_sort(models.begin(), models.end(), [](const ModelEntry &a, const ModelEntry &b) {
        return a.size != b.size ? a.size < b.size : a.name < b.name;
    });
    return models;
}

QString formatBytes(qint64 bytes)
{
    if (bytes < gibibyte)
        return QStringLiteral("%1 MB").arg(bytes / mebibyte);
    return QString::asprintf("%.1f GB", double(bytes) / double(gibibyte));
}

QString modelDescription(const QString &name, const QString &recommended,
                         std::optional<double> secondsPer5s)
{
    static const QMap<QString, QString> speed = {
        {QStringLiteral("tiny"), QStringLiteral("Fastest, least accurate")},
        {QStringLiteral("base"), QStringLiteral("Very fast, basic accuracy")},
        {QStringLiteral("small"), QStringLiteral("Fast, good accuracy")},
        {QStringLiteral("medium"), QStringLiteral("Slower, high accuracy")},
        {QStringLiteral("large-v1"), QStringLiteral("Slow, first large model (outdated)")},
        {QStringLiteral("large-v2"), QStringLiteral("Slow, very high accuracy (superseded by v3)")},
        {QStringLiteral("large-v3"), QStringLiteral("Slowest, best accuracy")},
        {QStringLiteral("large-v3-turbo"), QStringLiteral("Near large-v3 accuracy, much faster")},
    };
    QString base = name.left(name.indexOf(QLatin1String("-q")));
    const bool english = base.endsWith(QLatin1String(".en"));
    if (english)
        base.chop(3);
    const bool parakeet = engineOfModelName(name) == ModelEngine::Parakeet;
    QStringList phrases;
    if (parakeet)
        phrases << QStringLiteral("Parakeet: fast on a CPU (it encodes only what was said), more "
                                  "accurate than large-v3-turbo");
    else if (speed.contains(base))
        phrases << speed.value(base);
    if (name.contains(QLatin1String("-q5_")))
        phrases << QStringLiteral("compressed (q5)");
    if (name.contains(QLatin1String("-q8_")))
        phrases << QStringLiteral("compressed (q8)");
    if (parakeet)
        phrases << (parakeetKnowsLanguage(name.toStdString(), "de")
                        ? QStringLiteral("25 European languages, found by itself")
                        : QStringLiteral("English only"));
    else
        phrases << (english ? QStringLiteral("English only") : QStringLiteral("All languages"));
    if (secondsPer5s)
        phrases << QStringLiteral("about %1 s per 5 s of speech here")
                       .arg(*secondsPer5s, 0, 'f', *secondsPer5s < 10 ? 1 : 0);
    if (name == recommended)
        phrases << QStringLiteral("recommended");
    return phrases.join(QStringLiteral(" \u00b7 "));
}

std::optional<double> measuredModelSpeed(const QString &name)
{
    bool ok = false;
    const double seconds = preferenceValue(prefModelSpeed + u'/' + name).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 3600)
        return std::nullopt;
    return seconds;
}

void storeModelSpeed(const QString &name, double secondsPer5s)
{
    setPreference(prefModelSpeed + u'/' + name, secondsPer5s);
}

} // namespace parlotta
