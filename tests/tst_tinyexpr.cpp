// The pseudo element formulas: what they read, where they are wrong, and the error of what
// they compute.

#include "xrftinyexpr.h"

#include <QtTest>

#include <cmath>

namespace {

using Values = QMap<QString, double>;

const QStringList names = { "Cr", "Ni", "Mo", "N", "Cu", "Zn", "x", "y" };
const double cr = 16.94, ni = 10.72, mo = 2.08, n = 0.05, cu = 61.84, zn = 35.21, x = 3, y = 1.5;
const Values values = { { "Cr", cr }, { "Ni", ni }, { "Mo", mo }, { "N", n },
                        { "Cu", cu }, { "Zn", zn }, { "x", x },   { "y", y } };

} // namespace

class TestTinyExpr : public QObject
{
    Q_OBJECT

private slots:
    void evaluation_data();
    void evaluation();
    void normalisedText_data();
    void normalisedText();
    void syntaxErrors_data();
    void syntaxErrors();
    void failingEvaluation_data();
    void failingEvaluation();
    void errorPropagation_data();
    void errorPropagation();
    void errorOnlyWhereItCounts();
    void deepNesting_data();
    void deepNesting();
};

void TestTinyExpr::evaluation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("product before sum") << "2+3*4" << 14.0;
    QTest::newRow("parentheses") << "(2+3)*4" << 20.0;
    QTest::newRow("minus left to right") << "10-4-3" << 3.0;
    QTest::newRow("division left to right") << "64/4/2" << 8.0;
    QTest::newRow("power right to left") << "2^3^2" << 512.0;
    QTest::newRow("power above sign") << "-2^2" << -4.0;
    QTest::newRow("signed exponent") << "2^-1" << 0.5;
    QTest::newRow("repeated signs") << "+ +4 - -1" << 5.0;
    QTest::newRow("number forms") << "1e-3*1000 + 1E+2 + .5 + 5." << 106.5;
    QTest::newRow("spacing") << " \tCr +\nNi  " << cr + ni;
    QTest::newRow("ratio") << "Cu/(Cu+Zn)*100" << cu / (cu + zn) * 100;
    QTest::newRow("weighted sum") << "2.5*Mo + Cr + 16*N" << 2.5 * mo + cr + 16 * n;
    QTest::newRow("functions") << "sqrt(16)+abs(-3)+log10(1000)+exp(ln(5))" << 15.0;
    QTest::newRow("two arguments") << "min(3, 1+1) * max(-1, -2) + pow(2, 10)" << 1022.0;
}

void TestTinyExpr::evaluation()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    XrfTinyExpr e;
    QVERIFY2(e.compile(text, names), qPrintable(e.errorText()));
    double v = 0;
    QVERIFY(e.evaluate(values, &v));
    QCOMPARE(v, expected);
}

void TestTinyExpr::normalisedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *text, const char *expected) {
        QTest::newRow(text) << QString(text) << QString(expected);
    };
    row("Cu/(Cu+Zn)*100", "Cu / (Cu + Zn) * 100");
    row("((Cr)) + (Ni*2) + (Mo+N)", "Cr + Ni * 2 + (Mo + N)");
    row("Cr-(Ni-Mo)/(Ni*Mo)", "Cr - (Ni - Mo) / (Ni * Mo)");
    row("2^(3^2) + (2^3)^2", "2^3^2 + (2^3)^2");
    row("(-x)^2 - -(x^2)", "(-x)^2 - -x^2");
    row("--+x", "--x");
    // Within the nesting limit, and so must its normal form be.
    QTest::newRow("many signs") << QString(200, '-') + "x^2" << QString(200, '-') + "x^2";
    row("min( Cr ,pow(Ni,2) )", "min(Cr, Ni^2)");
    row("0.50*1e3+.25", "0.5 * 1000 + 0.25");
}

void TestTinyExpr::normalisedText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    XrfTinyExpr e;
    QVERIFY(e.compile(text, names));
    QCOMPARE(e.expression(), expected);
    // The normal form reads back as itself.
    QVERIFY(e.compile(expected, names));
    QCOMPARE(e.expression(), expected);
}

void TestTinyExpr::syntaxErrors_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("word");
    QTest::newRow("unknown variable") << "Cr + Xx" << 5 << "unknown variable";
    QTest::newRow("names are case-sensitive") << "cr" << 0 << "unknown variable";
    QTest::newRow("empty") << "  " << 2 << "empty";
    QTest::newRow("trailing operator") << "Cr +" << 4 << "end";
    QTest::newRow("unclosed") << "2 * (Cr + 1" << 11 << "')'";
    QTest::newRow("no implicit product") << "2Mo" << 1 << "'M'";
    QTest::newRow("two operators") << "Cr * / Ni" << 5 << "'/'";
    QTest::newRow("unknown function") << "Cr + foo(1)" << 5 << "unknown function";
    QTest::newRow("too many arguments") << "min(1,2,3)" << 7 << "2 arguments";
    QTest::newRow("too few arguments") << "sqrt()" << 5 << "')'";
    QTest::newRow("number too large") << "Cr * 1e999" << 5 << "range";
}

void TestTinyExpr::syntaxErrors()
{
    QFETCH(QString, text);
    QFETCH(int, position);
    QFETCH(QString, word);
    XrfTinyExpr e;
    QVERIFY(e.compile(QStringLiteral("Cr"), names));
    QVERIFY(!e.compile(text, names));
    QCOMPARE(e.errorPosition(), position);
    QVERIFY2(e.errorText().contains(word), qPrintable(e.errorText()));
    // What was compiled before is gone.
    QVERIFY(e.expression().isEmpty());
    QVERIFY(!e.evaluate(values, nullptr));
}

void TestTinyExpr::failingEvaluation_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("division by zero") << "Cr/(Ni-Ni)";
    QTest::newRow("ln of zero") << "ln(Cr-Cr)";
    QTest::newRow("root of negative") << "sqrt(-Cr)";
    QTest::newRow("fractional power of negative") << "(-2)^0.5";
    QTest::newRow("overflow cancelled later") << "exp(1000)*0";
    QTest::newRow("no value for a name") << "Cr + Fe";
}

void TestTinyExpr::failingEvaluation()
{
    QFETCH(QString, text);
    XrfTinyExpr e;
    QVERIFY(e.compile(text, names + QStringList { "Fe" }));
    double v = 7, err = 7;
    QVERIFY(!e.evaluate(values, &v));
    QVERIFY(!e.evaluateWithError(values, {}, &v, &err));
    QCOMPARE(v, 7.0);
    QCOMPARE(err, 7.0);
}

void TestTinyExpr::errorPropagation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Values>("sigma");
    QTest::addColumn<double>("expected");
    const double sCr = 0.09, sNi = 0.08, sMo = 0.02, sN = 0.01, sCu = 0.11, sZn = 0.10;
    const double sX = 0.2, sY = 0.05;
    const Values crNi = { { "Cr", sCr }, { "Ni", sNi } };
    const Values xy = { { "x", sX }, { "y", sY } };

    QTest::newRow("sum") << "Cr+Ni" << crNi << std::sqrt(sCr * sCr + sNi * sNi);
    QTest::newRow("weighted sum") << "2.5*Mo + Cr + 16*N"
                                  << Values { { "Cr", sCr }, { "Mo", sMo }, { "N", sN } }
                                  << std::sqrt(std::pow(2.5 * sMo, 2) + sCr * sCr
                                               + std::pow(16 * sN, 2));
    QTest::newRow("ratio") << "Cr/Ni" << crNi
                           << cr / ni * std::sqrt(std::pow(sCr / cr, 2) + std::pow(sNi / ni, 2));
    // d/dCu = 100 Zn/(Cu+Zn)^2, d/dZn = -100 Cu/(Cu+Zn)^2
    QTest::newRow("share") << "Cu/(Cu+Zn)*100" << Values { { "Cu", sCu }, { "Zn", sZn } }
                           << 100 / std::pow(cu + zn, 2)
                    * std::sqrt(std::pow(zn * sCu, 2) + std::pow(cu * sZn, 2));
    QTest::newRow("same name twice adds up") << "Cr+Cr" << crNi << 2 * sCr;
    QTest::newRow("same name cancels") << "Cr-Cr+Ni" << crNi << sNi;
    QTest::newRow("missing error is zero") << "Cr+Ni+Mo" << crNi << std::hypot(sCr, sNi);
    QTest::newRow("cube") << "x^3" << xy << 3 * x * x * sX;
    QTest::newRow("variable exponent")
            << "x^y" << xy
            << std::hypot(y * std::pow(x, y - 1) * sX, std::pow(x, y) * std::log(x) * sY);
    QTest::newRow("sqrt") << "sqrt(x)" << xy << sX / (2 * std::sqrt(x));
    QTest::newRow("ln of abs") << "ln(abs(-x))" << xy << sX / x;
    QTest::newRow("min follows the smaller") << "min(x, y)" << xy << sY;
}

void TestTinyExpr::errorPropagation()
{
    QFETCH(QString, text);
    QFETCH(Values, sigma);
    QFETCH(double, expected);
    XrfTinyExpr e;
    QVERIFY(e.compile(text, names));
    double v = 0, err = -1, plain = 0;
    QVERIFY(e.evaluateWithError(values, sigma, &v, &err));
    QVERIFY(e.evaluate(values, &plain));
    QCOMPARE(v, plain);
    // Exact derivatives agree to rounding, which a difference quotient would not.
    QVERIFY2(std::fabs(err - expected) <= 1e-12 * expected,
             qPrintable(QStringLiteral("%1 != %2").arg(err, 0, 'g', 17).arg(expected, 0, 'g', 17)));
}

void TestTinyExpr::errorOnlyWhereItCounts()
{
    // sqrt has an infinite slope at 0: harmless without an error there, fatal with one.
    XrfTinyExpr e;
    QVERIFY(e.compile(QStringLiteral("sqrt(x) + y"), names));
    const Values atZero = { { "x", 0.0 }, { "y", 2.0 } };
    double v = 0, err = 0;
    QVERIFY(e.evaluateWithError(atZero, { { "y", 0.1 } }, &v, &err));
    QCOMPARE(v, 2.0);
    QCOMPARE(err, 0.1);
    QVERIFY(!e.evaluateWithError(atZero, { { "x", 0.1 } }, &v, &err));

    // A negative base with a constant exponent has a slope in the base only.
    QVERIFY(e.compile(QStringLiteral("x^2"), names));
    QVERIFY(e.evaluateWithError({ { "x", -3.0 } }, { { "x", 0.5 } }, &v, &err));
    QCOMPARE(err, 3.0);
}

void TestTinyExpr::deepNesting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("compiles");
    const int deep = 100000;
    QTest::newRow("some parentheses") << QString(100, '(') + "x" + QString(100, ')') << true;
    // Long, but not deep.
    QTest::newRow("flat chain") << QString("x-").repeated(deep) + "x" << true;
    QTest::newRow("parentheses") << QString(deep, '(') + "x" + QString(deep, ')') << false;
    QTest::newRow("signs") << QString(deep, '-') + "x" << false;
    QTest::newRow("exponents") << QString("2^").repeated(deep) + "1" << false;
    QTest::newRow("calls") << QString("abs(").repeated(deep) << false;
}

void TestTinyExpr::deepNesting()
{
    QFETCH(QString, text);
    QFETCH(bool, compiles);
    XrfTinyExpr e;
    QCOMPARE(e.compile(text, names), compiles);
    if (compiles) {
        double v = 0;
        QVERIFY(e.evaluate(values, &v));
        QCOMPARE(v, text.count('x') == 1 ? x : -x * (text.count('x') - 2));
    } else {
        QVERIFY2(e.errorText().contains("nested"), qPrintable(e.errorText()));
        QVERIFY(e.errorPosition() > 0 && e.errorPosition() < text.size());
    }
}

QTEST_APPLESS_MAIN(TestTinyExpr)
#include "tst_tinyexpr.moc"
