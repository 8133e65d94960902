#include "core/preferences.h"

#include <QSettings>
#include <QStringList>
#include <algorithm>

namespace parlotta {

namespace {

// QSettings instances are cheap: the parsed file is cached and shared by Qt,
// and a fresh instance picks up changes made on disk.
QSettings openStore()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("parlotta"),
                     QStringLiteral("parlotta"));
}

QString asText(const QVariant &v)
{
    // The INI format reads "a,b" back as a list.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

} // namespace

QVariant preferenceValue(const QString &key)
{
    return openStore().value(key);
}

StoredInteger preferenceInteger(const QString &key)
{
    const QVariant v = preferenceValue(key);
    if (!v.isValid())
        return {};
    bool ok = false;
    const qint64 n = asText(v).trimmed().toLongLong(&ok);
    if (!ok)
        return {true, std::nullopt};
    return {true, n};
}

bool preferenceBool(const QString &key, bool fallback)
{
    const QVariant v = preferenceValue(key);
    if (!v.isValid())
        return fallback;
    const QString text = asText(v).trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return fallback;
}

QString preferenceString(const QString &key, const QString &fallback)
{
    const QVariant v = preferenceValue(key);
    return v.isValid() ? asText(v) : fallback;
}

void setPreference(const QString &key, const QVariant &value)
{
    setPreferences({{key, value}});
}

void setPreferences(std::initializer_list<std::pair<QString, QVariant>> values)
{
    QSettings store = openStore();
    for (const auto &[key, value] : values)
        store.setValue(key, value);
    store.sync();
}

void removePreference(const QString &key)
{
    QSettings store = openStore();
    store.remove(key);
    store.sync();
}

QString selectedLanguageCode()
{
    return preferenceString(prefLanguage, QStringLiteral("auto"));
}

bool showLanguageCodeEnabled()
{
    return preferenceBool(prefShowLanguage, true);
}

int freeModelAfterMinutes()
{
    const StoredInteger stored = preferenceInteger(prefFreeModelAfter);
    if (!stored.value || *stored.value < 0)
        return defaultIdleLimitMinutes;
    return int(std::min<qint64>(*stored.value, 24 * 60));
}

int idleLimitRow(int minutes)
{
    if (minutes == 0)
        return 0;
    for (int row = 1; row < int(std::size(idleLimitChoices)); ++row)
        if (idleLimitChoices[row] >= minutes)
            return row;
    return int(std::size(idleLimitChoices)) - 1;
}

QString preferencesFilePath()
{
    return openStore().fileName();
}

} // namespace parlotta
