// The result model and the command records: JSON without loss, channel bytes and
// robustness against malformed input.

#include "xrfdatetimerange.h"
#include "xrfexportparam.h"
#include "xrfjsonmessage.h"
#include "xrfkorviresult.h"
#include "xrftestsselected.h"

#include <QJsonDocument>
#include <QtTest>

#include "libraryfixture.h"

#include <cfloat>

namespace {

const QString oddText = QStringLiteral("T7 \"quoted\" back\\slash 'single' Größe µ ✓ {brace");
const quint64 twoTo60 = quint64(1) << 60;

// QCOMPARE of floating values is fuzzy; this text tells every double (and float) apart.
QString exact(double value)
{
    return QString::number(value, 'g', 17);
}

template<class T>
T throughText(const T &value)
{
    const QByteArray text = QJsonDocument(value.toJsonObject()).toJson(QJsonDocument::Compact);
    T back;
    back.fromJsonObject(QJsonDocument::fromJson(text).object());
    return back;
}

// Every class, and every kind of value, away from its defaults: the samples
// together, with the values no sample holds set on top. Fields that share a
// kind share their reading and writing.
XrfKorviResult makeFullResult(bool withLocation)
{
    using TestSupport::sample;
    XrfKorviResult r = sample("01-stainless-316");
    r.coating() = sample("03-coating-au-ni-cu").coating();
    r.compound() = sample("06-soil-regression").compound();
    r.regressionInfo() = sample("06-soil-regression").regressionInfo();
    r.userFactor() = sample("05-brass-repeat").userFactor();
    r.actionLevel() = sample("02-rohs-abs-housing").actionLevel();
    r.setHasCalCheck(true);
    r.setCalCheck(*sample("04-calibration-check").calCheck());
    r.calCheck()->setRate(1000);

    XrfAnalysisResult &a = r.analysis();
    a.setTestId(42);
    a.setTidName(oddText);
    a.setTestErrorInfo(QStringLiteral("line1\nline2\ttab"));
    if (!withLocation) {
        a.setLatitude(qQNaN());
        a.setLongitude(qQNaN());
        a.setElevation(qQNaN());
    }
    r.chemistry()[0].setConcentration(0.1f);
    r.chemistry()[0].setError(1e-45f); // float denormal
    r.chemistry()[1].setConcentration(FLT_MAX);
    // Its shortest text does not survive a detour via double.
    r.pseudoElement()[0].setConcentration(7.038531e-26f);
    XrfAverageInfo source;
    source.setTestId(40);
    source.setTidName(QStringLiteral("3A"));
    r.avgOfTestsInfo() << source;
    r.testInfo() << QJsonObject { { "key", "Lot" }, { "value", oddText } };
    for (XrfSpectrum &s : r.spectra()) {
        s.setEnergySlope(1.0 / 3.0);
        s.setEnergyOffset(5e-324); // smallest denormal
        s.setResetTime(DBL_MAX);
        s.setRealTime(qInf());
        s.setLastRate(-0.5);
        s.setFastCounts(twoTo60 + 1);
        s.setVacuumPressure(-3);
        s.filter().setDiameterInMicrons(65535);
        QVector<quint32> channels = s.channels();
        for (int i = 0; i < channels.size(); ++i)
            channels[i] = quint32(i) * 2654435761u; // spreads over all 32 bits
        channels[7] = 0xFFFFFFFFu;
        s.setChannels(channels);
    }
    return r;
}

} // namespace

class TestResultModel : public QObject
{
    Q_OBJECT

private slots:
    void dateTimeIsKeptInUtc();
    void fullResultSurvivesJsonText_data();
    void fullResultSurvivesJsonText();
    void jsonMemberNamesOthersRead();
    void integersBeyondDoublePrecision();
    void channelBytes();
    void wrongTypesAreIgnoredLikeMissingMembers();
    void malformedListElementsAreDropped();
    void resultJsonValidity_data();
    void resultJsonValidity();
    void readingNamesWhatItCannotUse_data();
    void readingNamesWhatItCannotUse();
    void pointerEscapesMemberNames();
    void copiesAreIndependent();
    void recordsFromRequests();
};

void TestResultModel::dateTimeIsKeptInUtc()
{
    XrfAnalysisResult a;
    a.setTestDateTime(QDateTime(QDate(2024, 3, 5), QTime(1, 30, 0, 7), Qt::OffsetFromUTC, 7200));
    QCOMPARE(a.testDateTime().timeSpec(), Qt::UTC);
    QCOMPARE(a.dateTimeString(), QStringLiteral("2024-03-04 23:30:00.007"));
    QCOMPARE(a.toJsonObject().value("testDateTime").toString(), a.dateTimeString());

    // Other writers may send ISO 8601 with an offset.
    XrfAnalysisResult iso;
    iso.fromJsonObject({ { "testDateTime", "2024-03-05T01:30:00.007+02:00" } });
    QCOMPARE(iso.dateTimeString(), QStringLiteral("2024-03-04 23:30:00.007"));
}

void TestResultModel::fullResultSurvivesJsonText_data()
{
    QTest::addColumn<bool>("withLocation");
    QTest::newRow("coordinates set") << true;
    QTest::newRow("coordinates unset") << false;
}

void TestResultModel::fullResultSurvivesJsonText()
{
    QFETCH(bool, withLocation);
    const XrfKorviResult original = makeFullResult(withLocation);
    const QByteArray text = QJsonDocument(original.toJsonObject()).toJson();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    QCOMPARE(parseError.error, QJsonParseError::NoError);
    QString why;
    QVERIFY2(XrfKorviResult::isValidResultJson(document.object(), &why), qPrintable(why));

    XrfKorviResult back;
    QCOMPARE(back.readResultJson(document.object()), QStringList());
    QCOMPARE(QJsonDocument(back.toJsonObject()).toJson(), text);
    QVERIFY(back == original);

    // == compares every field exactly; these guard == itself where a conversion is riskiest.
    const XrfAnalysisResult &a = back.analysis();
    QCOMPARE(a.dateTimeString(), QStringLiteral("2026-11-23 08:15:42.318"));
    QCOMPARE(a.tidName(), oddText);
    QCOMPARE(qIsNaN(a.latitude()), !withLocation);
    if (withLocation)
        QCOMPARE(exact(a.longitude()), exact(original.analysis().longitude()));
    QCOMPARE(exact(back.chemistry().at(0).concentration()), exact(0.1f));
    QCOMPARE(exact(back.chemistry().at(0).error()), exact(1e-45f));
    QCOMPARE(exact(back.pseudoElement().at(0).concentration()), exact(7.038531e-26f));
    QCOMPARE(back.gradeMatch().at(0).gradeSpec().at(1).elementName(),
             original.gradeMatch().at(0).gradeSpec().at(1).elementName());
    const XrfSpectrum &s = back.spectra().at(1);
    QCOMPARE(s.fastCounts(), twoTo60 + 1);
    QCOMPARE(exact(s.energyOffset()), exact(5e-324));
    QVERIFY(qIsInf(s.realTime()) && s.realTime() > 0);
    QCOMPARE(s.filter().diameterInMicrons(), quint16(65535));
    QCOMPARE(s.channels().size(), 2048);
    QCOMPARE(s.channels().at(2047), 2047u * 2654435761u);
    QVERIFY(back.hasCalCheck());
    QCOMPARE(exact(back.calCheck()->expectedResolution()),
             exact(original.calCheck()->expectedResolution()));

    // The same through a queued-signal style copy.
    const QVariant carried = QVariant::fromValue(original);
    QVERIFY(carried.value<XrfKorviResult>() == original);
}

// Queue files, exports and the PC read these names: a rename loses data.
void TestResultModel::jsonMemberNamesOthersRead()
{
    const QJsonObject full = makeFullResult(true).toJsonObject();
    QCOMPARE(XrfKorviResult::g_userFactorLabel, QStringLiteral("userFactor"));
    for (const QString &key :
         { QStringLiteral("analysis"), QStringLiteral("chemistry"), QStringLiteral("pseudoElement"),
           QStringLiteral("spectra"), QStringLiteral("gradeMatch"), QStringLiteral("coating"),
           QStringLiteral("testInfo"), QStringLiteral("images"), QStringLiteral("calCheckResult"),
           QStringLiteral("regressionInfo"), XrfKorviResult::g_userFactorLabel,
           XrfKorviResult::g_compoundLabel, XrfKorviResult::g_actionLevelLabel })
        QVERIFY2(full.contains(key), qPrintable(key));
    const QJsonObject analysis = full.value("analysis").toObject();
    for (const char *key :
         { "methodFamilyName", "testId", "testType", "testDateTime", "collimatedStatusInt",
           "auPlating", "auKarat", "userFactorNormalizeFactor", "coatingDisplayUnit" })
        QVERIFY2(analysis.contains(key), key);
    QCOMPARE(analysis.value("testId").toInt(), 42);
    // Floats are written as their own shortest text, readable in exports.
    QCOMPARE(full.value("chemistry").toArray().at(0).toObject().value("concentration").toDouble(),
             0.1);
    QVERIFY(full.value("spectra").toArray().at(0).toObject().contains("data"));
    QVERIFY(full.value("coating").toArray().at(0).toObject().contains("element"));
    QCOMPARE(full.value("calCheckResult").toObject().value("rate").toDouble(), 1000.0);

    // Images are named "fileName" and "imageType"; files queued by earlier
    // software say "name" and "type", and still load.
    const QJsonObject image = full.value("images").toArray().at(0).toObject();
    QVERIFY(image.contains("fileName") && image.contains("imageType"));
    XrfImageInfo old;
    old.fromJsonObject(QJsonObject { { "name", "a.jpeg" }, { "type", 1 } });
    QCOMPARE(old.name(), QStringLiteral("a.jpeg"));
    QCOMPARE(old.type(), 1);
}

void TestResultModel::integersBeyondDoublePrecision()
{
    XrfSpectrum s;
    for (const quint64 counts :
         { quint64(0), quint64(1) << 53, (quint64(1) << 53) + 1, twoTo60, ~quint64(0) }) {
        s.setFastCounts(counts);
        QCOMPARE(throughText(s).fastCounts(), counts);
    }
    // A number that a double holds exactly is read, as is decimal text.
    s.fromJsonObject({ { "fastCounts", double(twoTo60) } });
    QCOMPARE(s.fastCounts(), twoTo60);
    s.fromJsonObject({ { "fastCounts", "18446744073709551615" } });
    QCOMPARE(s.fastCounts(), ~quint64(0));
    // Out of range, negative or fractional values are refused.
    s.setFastCounts(5);
    for (const QJsonValue &bad : { QJsonValue(-1), QJsonValue("-1"), QJsonValue(1.5),
                                   QJsonValue("18446744073709551616"), QJsonValue(1e20) }) {
        s.fromJsonObject({ { "fastCounts", bad } });
        QCOMPARE(s.fastCounts(), quint64(5));
    }
    XrfFilterProperties filter;
    filter.fromJsonObject({ { "materialAtomicNumber", 65536 }, { "thicknessInMicrons", -1 } });
    QCOMPARE(filter.materialAtomicNumber(), quint16(0));
    QCOMPARE(filter.thicknessInMicrons(), quint16(0));
    XrfAnalysisResult a;
    a.fromJsonObject({ { "testId", 2147483648.0 }, { "dailyId", "12" } });
    QCOMPARE(a.testId(), -1);
    QCOMPARE(a.dailyId(), 12);
}

void TestResultModel::channelBytes()
{
    XrfSpectrum s;
    s.setChannels({ 1u, 0x01020304u, 0xFFFFFFFFu });
    const QByteArray bytes = s.binaryData();
    QCOMPARE(bytes.toHex(), QByteArray("0100000004030201ffffffff"));

    XrfSpectrum other;
    other.setChannels({ 7u });
    QCOMPARE(other.fromByteArrayToInt(bytes, true), 3);
    QCOMPARE(other.channels(), QVector<quint32>({ 1u, 0x01020304u, 0xFFFFFFFFu }));

    other.setChannels({ 7u });
    other.fromByteArrayToInt(bytes, false);
    QCOMPARE(other.channels(), QVector<quint32>({ 7u, 1u, 0x01020304u, 0xFFFFFFFFu }));

    // A partial last channel is dropped; no bytes clear the counts when replacing.
    QCOMPARE(other.fromByteArrayToInt(QByteArray::fromHex("0200000003"), true), 1);
    QCOMPARE(other.channels(), QVector<quint32>({ 2u }));
    other.fromByteArrayToInt(QByteArray(), true);
    QVERIFY(other.channels().isEmpty());
    QVERIFY(other.binaryData().isEmpty());

    // Channel data written by others as a plain array of numbers.
    other.fromJsonObject({ { "data", QJsonArray { 5, 4294967295.0 } } });
    QCOMPARE(other.channels(), QVector<quint32>({ 5u, 0xFFFFFFFFu }));
}

// A member of the wrong type must act as if it were missing.
void TestResultModel::wrongTypesAreIgnoredLikeMissingMembers()
{
    const XrfKorviResult original = makeFullResult(true);
    const QJsonObject full = original.toJsonObject();
    // An array of numbers is valid channel data, so the wrong array holds a string.
    const QJsonValue wrongValues[]
            = { QJsonArray { "x" }, QJsonObject { { "x", 1 } }, QStringLiteral("not a value") };
    // The members of the result, of its analysis and of its first spectrum.
    const QJsonObject analysis = full.value("analysis").toObject();
    QJsonArray spectra = full.value("spectra").toArray();
    const QJsonObject spectrum = spectra.at(0).toObject();
    // Parsed over the original, so that a value coerced to the default shows.
    auto parsedWith = [&](const QString &where, QJsonObject object, const QString &key,
                          const QJsonValue &value) {
        if (value.isUndefined())
            object.remove(key);
        else
            object.insert(key, value);
        QJsonObject result = full;
        if (where == QLatin1String("analysis")) {
            result.insert(where, object);
        } else if (where == QLatin1String("spectra")) {
            spectra.replace(0, object);
            result.insert(where, spectra);
        } else {
            result = object;
        }
        XrfKorviResult parsed = original;
        parsed.fromJsonObject(result);
        return parsed;
    };
    int checked = 0;
    for (const auto &[where, object] :
         { std::make_pair(QString(), full), std::make_pair(QStringLiteral("analysis"), analysis),
           std::make_pair(QStringLiteral("spectra"), spectrum) }) {
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            const XrfKorviResult missing
                    = parsedWith(where, object, it.key(), QJsonValue::Undefined);
            for (const QJsonValue &wrong : wrongValues) {
                if (wrong.type() == it.value().type())
                    continue;
                QVERIFY2(parsedWith(where, object, it.key(), wrong) == missing,
                         qPrintable(where + "." + it.key()));
                ++checked;
            }
        }
    }
    QVERIFY(checked > 100);
}

// List elements that cannot be read are dropped; the readable ones stay.
void TestResultModel::malformedListElementsAreDropped()
{
    const QByteArray text = R"({"compound": [null, [], {"elementName": "Fe"}],
        "spectra": [1, "a", {"fastCounts": -1, "data": "!!", "filter": {"hasCollimator": "yes"}}],
        "testInfo": [3, {"key": "a", "value": "b"}], "images": [{"name": 4}]})";
    XrfKorviResult r;
    r.fromJsonObject(QJsonDocument::fromJson(text).object());
    QCOMPARE(r.compound().size(), 1);
    QCOMPARE(r.compound().at(0).elementName(), QStringLiteral("Fe"));
    QCOMPARE(r.spectra().size(), 1);
    QVERIFY(r.spectra().at(0) == XrfSpectrum());
    QCOMPARE(r.testInfo().size(), 1);
    QCOMPARE(r.images().size(), 1);
    QVERIFY(r.images().at(0).name().isEmpty());
}

void TestResultModel::resultJsonValidity_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");
    QTest::newRow("empty") << QByteArray("{}") << false;
    QTest::newRow("analysis not an object") << QByteArray(R"({"analysis": []})") << false;
    QTest::newRow("bare analysis") << QByteArray(R"({"analysis": {}})") << true;
    QTest::newRow("spectra not a list")
            << QByteArray(R"({"analysis": {}, "spectra": {}})") << false;
    QTest::newRow("calibration check not an object")
            << QByteArray(R"({"analysis": {}, "calCheckResult": 1})") << false;
    QTest::newRow("unknown members allowed")
            << QByteArray(R"({"analysis": {}, "notesOrder": []})") << true;
}

void TestResultModel::resultJsonValidity()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);
    QString why;
    QCOMPARE(XrfKorviResult::isValidResultJson(QJsonDocument::fromJson(json).object(), &why),
             valid);
    QCOMPARE(why.isEmpty(), valid);
}

void TestResultModel::readingNamesWhatItCannotUse_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("problems");
    const QByteArray when = R"("testDateTime": "2026-01-05 07:00:00.000")";
    auto result = [&](const QByteArray &members) {
        return "{\"analysis\": {" + when + "}" + (members.isEmpty() ? "" : ", " + members) + "}";
    };
    QTest::newRow("no analysis") << QByteArray(R"({"chemistry": []})")
                                 << QStringList { "/analysis" };
    QTest::newRow("analysis a list")
            << QByteArray(R"({"analysis": []})") << QStringList { "/analysis" };
    QTest::newRow("concentration as text")
            << result(R"("chemistry": [{"elementName": "Fe", "concentration": "12.5"}])")
            << QStringList { "/chemistry/0/concentration" };
    QTest::newRow("element name a number")
            << result(R"("chemistry": [{}, {}, {"elementName": 26}])")
            << QStringList { "/chemistry/2/elementName" };
    QTest::newRow("elements not objects")
            << result(R"("chemistry": [1, {"elementName": "Ni"}, [3]])")
            << QStringList { "/chemistry/0", "/chemistry/2" };
    QTest::newRow("chemistry an object")
            << result(R"("chemistry": {"Fe": 1})") << QStringList { "/chemistry" };
    QTest::newRow("partial channel")
            << result(R"("spectra": [{"data": "AAAAAAA="}])") << QStringList { "/spectra/0/data" };
    QTest::newRow("fractional channel")
            << result(R"("spectra": [{"data": [1, 2.5]}])") << QStringList { "/spectra/0/data" };
    QTest::newRow("nested two deep") << result(
            R"("spectra": [{"filter": {"hasCollimator": "yes", "thicknessInMicrons": -1}}])")
                                     << QStringList { "/spectra/0/filter/hasCollimator",
                                                      "/spectra/0/filter/thicknessInMicrons" };
    QTest::newRow("averaged test id")
            << result(R"("avgOfTestsInfo": [{"testId": "3"}, {"testId": true}])")
            << QStringList { "/avgOfTestsInfo/1/testId" };
    QTest::newRow("test info element")
            << result(R"("testInfo": [{"key": "a"}, "b"])") << QStringList { "/testInfo/1" };
    QTest::newRow("calibration check") << result(R"("calCheckResult": {"rate": "fast"})")
                                       << QStringList { "/calCheckResult/rate" };
    QTest::newRow("null float is NaN, not a problem")
            << result(R"("chemistry": [{"concentration": null}])") << QStringList();
    QTest::newRow("unknown members are no problem")
            << result(R"("notesOrder": [1], "x/y": 2)") << QStringList();

    const QStringList dateTime { "/analysis/testDateTime" };
    const QList<QByteArray> badDateTimes { "",
                                           R"("testDateTime": null,)",
                                           R"("testDateTime": 20260105,)",
                                           R"("testDateTime": "",)",
                                           R"("testDateTime": "yesterday",)",
                                           R"("testDateTime": "2026-02-30 10:00:00.000",)",
                                           R"("testDateTime": "2026-13-01 10:00:00.000",)",
                                           R"("testDateTime": "2026-00-10 07:00:00.000",)",
                                           R"("testDateTime": "2026-02-30T10:00:00",)",
                                           R"("testDateTime": ["2026-01-05 07:00:00.000"],)" };
    for (const QByteArray &member : badDateTimes)
        QTest::newRow(member.isEmpty() ? "date-time missing" : member.constData())
                << QByteArray("{\"analysis\": {" + member + R"( "tidName": "a"}})") << dateTime;
    QTest::newRow("date-time and a member")
            << QByteArray(R"({"analysis": {"testDateTime": "soon", "dailyId": 1.5}})")
            << QStringList { "/analysis/testDateTime", "/analysis/dailyId" };
}

// A host refuses a file on these pointers, so each must name the member, not a parent.
void TestResultModel::readingNamesWhatItCannotUse()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, problems);
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(json, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    XrfKorviResult read;
    QStringList got = read.readResultJson(object);
    got.sort();
    problems.sort();
    QCOMPARE(got, problems);
    // The log changes nothing about what is read.
    XrfKorviResult plain;
    plain.fromJsonObject(object);
    QVERIFY(read == plain);
}

void TestResultModel::pointerEscapesMemberNames()
{
    XrfFields::ReadLog log;
    log.enter("a/b~c");
    log.enter("0");
    log.refuse();
    QCOMPARE(log.problems(), QStringList { "/a~1b~0c/0" });
}

// The calibration check is held by pointer; copies must not share it.
void TestResultModel::copiesAreIndependent()
{
    const XrfKorviResult original = makeFullResult(true);
    XrfKorviResult copy = original;
    XrfKorviResult assigned;
    assigned = original;
    copy.calCheck()->setRate(1.0);
    assigned.calCheck()->setRate(2.0);
    QCOMPARE(original.calCheck()->rate(), 1000.0);
    QVERIFY(copy != original && assigned != original);
}

void TestResultModel::recordsFromRequests()
{
    const XrfJsonMessage message(7, 119, { { "xrfString", "1,2" } });
    const XrfJsonMessage messageBack = throughText(message);
    QCOMPARE(messageBack.id(), 7);
    QCOMPARE(messageBack.commandId(), 119);
    QCOMPARE(messageBack.params(), message.params());

    // Ids that are not text or whole numbers are dropped; range ends come back
    // as the text they were sent as.
    const QString start = QStringLiteral("2024-01-01 00:00:00.000");
    const QString end = QStringLiteral("2024-01-31 23:59:59.999");
    const QByteArray request = R"({"tidList": ["12", 15, true], "actionToDo": 3,
        "dateRangeList": [{"startDateTime": "2024-01-01 00:00:00.000",
                           "endDateTime": "2024-01-31 23:59:59.999"}],
        "exportSetting": {"export": {"fileType": "json"}}, "outputSingleZip": true})";
    XrfExportParam param;
    param.fromJsonObject(QJsonDocument::fromJson(request).object());
    QCOMPARE(param.tidList(), QStringList({ "12", "15" }));
    QCOMPARE(param.actionToDo(), XrfTestsSelected::DeleteResults);
    QCOMPARE(param.dateRangeList().size(), 1);
    const XrfDateTimeRange &range = param.dateRangeList().at(0);
    QCOMPARE(range.startDateTime().toString(XrfAnalysisResult::dateTimeFormat), start);
    QCOMPARE(range.endDateTime().toString(XrfAnalysisResult::dateTimeFormat), end);
    QVERIFY(param.outputSingleZip());
    QVERIFY(throughText(param) == param);
    const QDateTime localStart = QDateTime::fromString(start, XrfAnalysisResult::dateTimeFormat);
    QCOMPARE(XrfDateTimeRange(localStart, localStart).toJsonObject().value("startDateTime"),
             QJsonValue(start));

    // A stored drift correction carries the spectrum index beside its own members.
    XrfDriftCorrection drift = makeFullResult(true).spectra().at(0).driftCorrection();
    QJsonObject stored = drift.toJsonObject();
    stored.insert("index", 1);
    XrfDriftCorrection driftBack;
    driftBack.fromJsonObject(stored);
    QVERIFY(driftBack == drift);
}

QTEST_APPLESS_MAIN(TestResultModel)
#include "tst_resultmodel.moc"
