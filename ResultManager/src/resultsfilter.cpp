#include "resultsfilter.h"

#include "xrfsettingsmanager.h"

ResultsFilter::ResultsFilter(QObject *parent) : QObject(parent) { }

bool ResultsFilter::autoPrintEnabled() const
{
    QJsonObject print;
    if (XrfSettingsManager::instance()->getGlobalSetting(QStringLiteral("print"), &print) != 0)
        return false;
    return print.value(QStringLiteral("autoPrint")).toBool(false);
}
