#ifndef RESULTSFILTER_H
#define RESULTSFILTER_H

// Export and print templates, and the filtering of a result into the JSON
// from which exports and printouts are made. Grows with the export work; for
// now it only knows whether automatic printing is asked for.

#include <QJsonObject>
#include <QObject>

class ResultsFilter : public QObject
{
    Q_OBJECT
public:
    explicit ResultsFilter(QObject *parent = nullptr);

    // "print"."autoPrint" of the global settings; false when unreadable.
    bool autoPrintEnabled() const;
};

#endif // RESULTSFILTER_H
