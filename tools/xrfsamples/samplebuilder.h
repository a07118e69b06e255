#ifndef SAMPLEBUILDER_H
#define SAMPLEBUILDER_H

// Builds one sample result with its pictures from short descriptions: a header every test
// has, rows of the parts most samples share, and beams to measure. What only one sample has
// it sets on result() itself. Each sample draws its noise from a generator seeded with its
// own number, so changing one sample leaves the others as they were.

#include <QImage>
#include <QList>
#include <QString>
#include <QVector>

#include "photo.h"
#include "rng.h"
#include "spectrum.h"
#include "xrfkorviresult.h"

#include <initializer_list>

struct Sample
{
    QString fileName;
    XrfKorviResult result;
    QList<QImage> photos; // one per entry of result.images()
};

// The method a test ran with; XrfAnalysisResult::NoMethodFamily leaves the family unset.
struct Method
{
    const char *id;
    const char *displayName;
    int family;
};

struct SampleHeader
{
    int number; // seeds the noise
    const char *fileName;
    const char *dateTime; // UTC, yyyy-MM-dd hh:mm:ss.zzz
    int dailyId;
    const char *testType;
    const char *tidName; // UTF-8
    const char *user;
    Method method;
};

struct Concentration
{
    const char *element;
    double percent;
    double error;
};

struct TestInfoEntry
{
    const char *key; // UTF-8, as is the value
    const char *value;
};

// Where a camera's picture is cropped and where the collimator spot lies in it.
struct Framing
{
    int type;
    double top, left, width, height;
    double spotX, spotY;
    bool circle;
    double spotRadius;
};

// The inline camera's view: the window's spot in the middle, cropped to the window.
inline constexpr Framing kInlineCamera { 0, 24, 40, 240, 192, 160, 120, true, 26 };

// What a spectrum is simulated from: a chemistry as a result keeps it, in float.
Composition composition(const QVector<Concentration> &chemistry);

class SampleBuilder
{
public:
    explicit SampleBuilder(const SampleHeader &header);

    XrfKorviResult &result() { return m_sample.result; }
    XrfAnalysisResult &analysis() { return m_sample.result.analysis(); }

    void setLocation(double latitude, double longitude, double elevation);
    void addChemistry(const QVector<Concentration> &chemistry);
    // Limits are written as a grade table prints them, in percent: "Cr 16-18, Mo 2-3".
    // Each element's result (OK, LOW, HIGH) follows from the chemistry, so add that first.
    // A test with grade matches had grade comparison on.
    void addGrade(const char *name, double matchNumber, double nSigma, const char *message,
                  const char *limits);
    void addTestInfo(std::initializer_list<TestInfoEntry> entries);

    // One spectrum per exposure, numbered in their order; without a composition, of the
    // result's chemistry.
    void measure(const Matrix &m, std::initializer_list<Exposure> exposures);
    void measure(const Composition &seen, const Matrix &m,
                 std::initializer_list<Exposure> exposures);

    // Without a name the picture is cam-<test name>-<n>.jpeg, n counting the pictures from 1.
    void addPhoto(Look look, const Framing &framing = kInlineCamera,
                  const QString &name = QString());

    const Sample &sample() const { return m_sample; }

private:
    Rng m_rng;
    Sample m_sample;
};

#endif // SAMPLEBUILDER_H
