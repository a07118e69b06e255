#ifndef JS2MSA_H
#define JS2MSA_H

// The beam data of results as EMSA/MSA files (ISO 22029), the plain text that
// most spectrum programs read: one file per exposure, named
// <base>-<testId>-<exposure number>.msa ("_2", "_3" ... before ".msa" when two
// results share a test id, as unsaved results do with -1).
//
// ASCII with CR LF line ends and lines of at most 80 characters; texts lose
// their accents and other characters outside ASCII become "_". #DATE and #TIME
// are the UTC test time (a ##TIMEZONE line says so). Energies are in keV as
// the instrument calibrates them: channel i lies at #OFFSET + i × #XPERCHAN.
// #BEAMKV and #EMISSION are the tube voltage (kV) and current (µA) set for
// the exposure. The counts, one a line, lie between "#SPECTRUM    : Spectral
// Data Starts Here" and "#ENDOFDATA   : End Of Data and File", the words
// common readers (HyperSpy among them) look for. Results without beam data
// write nothing and are no error.

#include "xrfcommon_global.h"
#include "xrfexportwriter.h"

#include <QScopedPointer>
#include <QString>

class Js2MsaPrivate;

class XRFCOMMON_EXPORT Js2Msa : public XrfExportWriter
{
public:
    Js2Msa();
    ~Js2Msa() override;

protected:
    bool doBegin() override;
    bool doWriteResult(const QJsonObject &result) override;
    bool doFinish() override;

private:
    QScopedPointer<Js2MsaPrivate> d;
};

#endif // JS2MSA_H
