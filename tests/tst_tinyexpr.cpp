// The pseudo element formulas: what they read, where they are wrong, and the error of what
// they compute.

#include "xrftinyexpr.h"

#include <QtTest>

#include <cmath>

namespace {

using Values = QMap<QString, double>;

const QStringList names = { "Cr", "Ni", "Mo", "N", "Cu", "Zn", "Co", "x", "y" };
const Values values
        = { { "Cr", 16.94 }, { "Ni", 10.72 }, { "Mo", 2.08 }, { "N", 0.05 }, { "Cu", 61.84 },
            { "Zn", 35.21 }, { "Co", 0.17 },  { "x", 3.0 },   { "y", 1.5 } };

double value(const QString &text)
{
    XrfTinyExpr e;
    double v = qQNaN();
    if (!e.compile(text, names) || !e.evaluate(values, &v))
        return qQNaN();
    return v;
}

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
    void longFlatChain();
    void copiesKeepTheirExpression();
};

void TestTinyExpr::evaluation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    const double cr = 16.94, ni = 10.72, mo = 2.08, n = 0.05, cu = 61.84, zn = 35.21;
    QTest::newRow("product before sum") << "2+3*4" << 14.0;
    QTest::newRow("parentheses") << "(2+3)*4" << 20.0;
    QTest::newRow("minus left to right") << "10-4-3" << 3.0;
    QTest::newRow("division left to right") << "64/4/2" << 8.0;
    QTest::newRow("mixed left to right") << "12/3*2" << 8.0;
    QTest::newRow("power right to left") << "2^3^2" << 512.0;
    QTest::newRow("power above sign") << "-2^2" << -4.0;
    QTest::newRow("signed exponent") << "2^-1" << 0.5;
    QTest::newRow("signed base") << "(-2)^2" << 4.0;
    QTest::newRow("power above product") << "2*3^2" << 18.0;
    QTest::newRow("signs in products") << "-3*-2" << 6.0;
    QTest::newRow("repeated signs") << "+ +4 - -1" << 5.0;
    QTest::newRow("exponent form") << "1e-3*1000 + 1E+2" << 101.0;
    QTest::newRow("bare fractions") << ".5+5." << 5.5;
    QTest::newRow("spacing") << " \tCr +\nNi  " << cr + ni;
    QTest::newRow("ratio") << "Cu/(Cu+Zn)*100" << cu / (cu + zn) * 100;
    QTest::newRow("weighted sum") << "2.5*Mo + Cr + 16*N" << 2.5 * mo + cr + 16 * n;
    QTest::newRow("one argument functions") << "sqrt(16)+abs(-3)+log10(1000)" << 10.0;
    QTest::newRow("exp and ln") << "exp(ln(5))" << 5.0;
    QTest::newRow("min") << "min(3, 1+1)" << 2.0;
    QTest::newRow("max") << "max(-1, -2)" << -1.0;
    QTest::newRow("pow") << "pow(2, 10)" << 1024.0;
    QTest::newRow("names with digits") << "Co*2" << 0.34;
}

void TestTinyExpr::evaluation()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    XrfTinyExpr e;
    QVERIFY2(e.compile(text, names), qPrintable(e.errorText()));
    QCOMPARE(e.errorPosition(), -1);
    double v = 0;
    QVERIFY(e.evaluate(values, &v));
    QCOMPARE(v, expected);
}

void TestTinyExpr::normalisedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("ratio") << "Cu/(Cu+Zn)*100"
                           << "Cu / (Cu + Zn) * 100";
    QTest::newRow("redundant parentheses") << "((Cr)) + (Ni*2)"
                                           << "Cr + Ni * 2";
    QTest::newRow("left group is free") << "(Cr+Ni)+Mo"
                                        << "Cr + Ni + Mo";
    QTest::newRow("right group is kept") << "Cr-(Ni-Mo)"
                                         << "Cr - (Ni - Mo)";
    QTest::newRow("divisor group") << "Cr/(Ni*Mo)"
                                   << "Cr / (Ni * Mo)";
    QTest::newRow("power chain") << "2^(3^2)"
                                 << "2^3^2";
    QTest::newRow("power of power") << "(2^3)^2"
                                    << "(2^3)^2";
    QTest::newRow("signed base") << "(-x)^2"
                                 << "(-x)^2";
    QTest::newRow("sign of power") << "-(x^2)"
                                   << "-x^2";
    QTest::newRow("double sign") << "--x"
                                 << "-(-x)";
    QTest::newRow("unary plus") << "+x"
                                << "x";
    QTest::newRow("functions") << "min( Cr ,pow(Ni,2) )"
                               << "min(Cr, Ni^2)";
    QTest::newRow("numbers") << "0.50*1e3+.25"
                             << "0.5 * 1000 + 0.25";
}

void TestTinyExpr::normalisedText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    XrfTinyExpr e;
    QVERIFY(e.compile(text, names));
    QCOMPARE(e.expression(), expected);

    // The normal form reads back as the same expression.
    XrfTinyExpr again;
    QVERIFY(again.compile(e.expression(), names));
    QCOMPARE(again.expression(), expected);
    double first = 0, second = 0;
    QVERIFY(e.evaluate(values, &first));
    QVERIFY(again.evaluate(values, &second));
    QCOMPARE(second, first);
}

void TestTinyExpr::syntaxErrors_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("word");
    QTest::newRow("unknown variable") << "Cr + Xx" << 5 << "unknown variable";
    QTest::newRow("names are case-sensitive") << "co" << 0 << "unknown variable";
    QTest::newRow("empty") << "  " << 2 << "empty";
    QTest::newRow("trailing operator") << "Cr +" << 4 << "end";
    QTest::newRow("unclosed") << "2 * (Cr + 1" << 11 << "')'";
    QTest::newRow("stray closing") << "Cr)" << 2 << "')'";
    QTest::newRow("two names") << "Cr Ni" << 3 << "'N'";
    QTest::newRow("no implicit product") << "2Mo" << 1 << "'M'";
    QTest::newRow("two operators") << "Cr * / Ni" << 5 << "'/'";
    QTest::newRow("lone dot") << "Cr + ." << 5 << "'.'";
    QTest::newRow("unknown function") << "Cr + foo(1)" << 5 << "unknown function";
    QTest::newRow("too few arguments") << "min(1)" << 5 << "2 arguments";
    QTest::newRow("too many arguments") << "min(1,2,3)" << 7 << "2 arguments";
    QTest::newRow("one argument only") << "sqrt(1, 2)" << 6 << "1 argument";
    QTest::newRow("empty call") << "abs()" << 4 << "')'";
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
    QVERIFY(!e.isCompiled());
    QVERIFY(e.expression().isEmpty());
    double v = 7;
    QVERIFY(!e.evaluate(values, &v));
    QCOMPARE(v, 7.0);
}

void TestTinyExpr::failingEvaluation_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("division by zero") << "Cr/(Ni-Ni)";
    QTest::newRow("zero by zero") << "0/0";
    QTest::newRow("ln of zero") << "ln(Cr-Cr)";
    QTest::newRow("root of negative") << "sqrt(-Cr)";
    QTest::newRow("fractional power of negative") << "(-2)^0.5";
    QTest::newRow("overflow") << "exp(Cr*100)";
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

    XrfTinyExpr withNaN;
    QVERIFY(withNaN.compile(QStringLiteral("Cr + 1"), names));
    QVERIFY(!withNaN.evaluate({ { "Cr", qQNaN() } }, &v));
}

void TestTinyExpr::errorPropagation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Values>("sigma");
    QTest::addColumn<double>("expected");

    const double cr = 16.94, ni = 10.72, cu = 61.84, zn = 35.21, x = 3.0, y = 1.5;
    const double sCr = 0.09, sNi = 0.08, sMo = 0.02, sN = 0.01, sCu = 0.11, sZn = 0.10;
    const double sX = 0.2, sY = 0.05;

    QTest::newRow("sum") << "Cr+Ni" << Values { { "Cr", sCr }, { "Ni", sNi } }
                         << std::sqrt(sCr * sCr + sNi * sNi);
    QTest::newRow("difference") << "Cr-Ni" << Values { { "Cr", sCr }, { "Ni", sNi } }
                                << std::sqrt(sCr * sCr + sNi * sNi);
    QTest::newRow("weighted sum") << "2.5*Mo + Cr + 16*N"
                                  << Values { { "Cr", sCr }, { "Mo", sMo }, { "N", sN } }
                                  << std::sqrt(std::pow(2.5 * sMo, 2) + sCr * sCr
                                               + std::pow(16 * sN, 2));
    QTest::newRow("ratio") << "Cr/Ni" << Values { { "Cr", sCr }, { "Ni", sNi } }
                           << cr / ni * std::sqrt(std::pow(sCr / cr, 2) + std::pow(sNi / ni, 2));
    // d/dCu = 100 Zn/(Cu+Zn)^2, d/dZn = -100 Cu/(Cu+Zn)^2
    QTest::newRow("share") << "Cu/(Cu+Zn)*100" << Values { { "Cu", sCu }, { "Zn", sZn } }
                           << 100 / std::pow(cu + zn, 2)
                    * std::sqrt(std::pow(zn * sCu, 2) + std::pow(cu * sZn, 2));
    QTest::newRow("same name twice adds up") << "Cr+Cr" << Values { { "Cr", sCr } } << 2 * sCr;
    QTest::newRow("same name cancels")
            << "Cr-Cr+Ni" << Values { { "Cr", sCr }, { "Ni", sNi } } << sNi;
    QTest::newRow("cube") << "x^3" << Values { { "x", sX } } << 3 * x * x * sX;
    QTest::newRow("variable exponent")
            << "x^y" << Values { { "x", sX }, { "y", sY } }
            << std::hypot(y * std::pow(x, y - 1) * sX, std::pow(x, y) * std::log(x) * sY);
    QTest::newRow("pow") << "pow(x, 2)" << Values { { "x", sX } } << 2 * x * sX;
    QTest::newRow("sqrt") << "sqrt(x)" << Values { { "x", sX } } << sX / (2 * std::sqrt(x));
    QTest::newRow("ln") << "ln(x)" << Values { { "x", sX } } << sX / x;
    QTest::newRow("log10") << "log10(x)" << Values { { "x", sX } } << sX / (x * std::log(10.0));
    QTest::newRow("exp") << "exp(x)" << Values { { "x", sX } } << std::exp(x) * sX;
    QTest::newRow("abs") << "abs(-x)" << Values { { "x", sX } } << sX;
    QTest::newRow("min follows the smaller")
            << "min(x, y)" << Values { { "x", sX }, { "y", sY } } << sY;
    QTest::newRow("max follows the larger")
            << "max(x, y)" << Values { { "x", sX }, { "y", sY } } << sX;
    QTest::newRow("missing error is zero") << "Cr+Ni" << Values { { "Cr", sCr } } << sCr;
    QTest::newRow("no errors") << "Cr*Ni" << Values {} << 0.0;
    QTest::newRow("constant") << "2+3" << Values { { "Cr", sCr } } << 0.0;
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
    QVERIFY2(std::fabs(err - expected) <= 1e-12 * std::max(1.0, expected),
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
    QCOMPARE(v, 9.0);
    QCOMPARE(err, 3.0);
}

void TestTinyExpr::deepNesting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("compiles");
    const int deep = 100000;
    QTest::newRow("some parentheses") << QString(100, '(') + "x" + QString(100, ')') << true;
    QTest::newRow("parentheses") << QString(deep, '(') + "x" + QString(deep, ')') << false;
    QTest::newRow("unclosed parentheses") << QString(deep, '(') << false;
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
        QCOMPARE(v, 3.0);
    } else {
        QVERIFY2(e.errorText().contains("nested"), qPrintable(e.errorText()));
        QVERIFY(e.errorPosition() > 0);
        QVERIFY(e.errorPosition() < text.size());
    }
}

void TestTinyExpr::longFlatChain()
{
    // Long, but not deep: compiles and evaluates.
    const int terms = 100000;
    XrfTinyExpr e;
    QVERIFY(e.compile(QStringLiteral("x+").repeated(terms - 1) + QStringLiteral("x"), names));
    QCOMPARE(e.variables(), QStringList { "x" });
    double v = 0, err = 0;
    QVERIFY(e.evaluateWithError(values, { { "x", 0.5 } }, &v, &err));
    QCOMPARE(v, 3.0 * terms);
    QCOMPARE(err, 0.5 * terms);
}

void TestTinyExpr::copiesKeepTheirExpression()
{
    XrfTinyExpr a;
    QVERIFY(a.compile(QStringLiteral("Cr + Ni"), names));
    XrfTinyExpr b = a;
    QVERIFY(a.compile(QStringLiteral("Cr * 2"), names));
    double va = 0, vb = 0;
    QVERIFY(a.evaluate(values, &va));
    QVERIFY(b.evaluate(values, &vb));
    QCOMPARE(va, value("2*Cr"));
    QCOMPARE(vb, value("Ni+Cr"));
    QCOMPARE(b.expression(), QStringLiteral("Cr + Ni"));
    QCOMPARE(b.variables(), (QStringList { "Cr", "Ni" }));
}

QTEST_APPLESS_MAIN(TestTinyExpr)
#include "tst_tinyexpr.moc"
