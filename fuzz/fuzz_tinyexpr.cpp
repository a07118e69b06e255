// Bytes as a formula over a few element names, compiled and evaluated with
// and without errors. Its canonical text must compile to the same value.
#include "xrftinyexpr.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList names { QStringLiteral("Cu"), QStringLiteral("Zn"),
                                     QStringLiteral("Cr"), QStringLiteral("Mo"),
                                     QStringLiteral("Ni"), QStringLiteral("_x1") };
    static const QMap<QString, double> values { { QStringLiteral("Cu"), 61.5 },
                                                { QStringLiteral("Zn"), 35.2 },
                                                { QStringLiteral("Cr"), 0 },
                                                { QStringLiteral("Mo"), -2.25 },
                                                { QStringLiteral("Ni"), 1e-300 } };
    static const QMap<QString, double> errors { { QStringLiteral("Cu"), 0.3 },
                                                { QStringLiteral("Zn"), 0.2 },
                                                { QStringLiteral("Mo"), 1e300 } };
    XrfTinyExpr expr;
    if (!expr.compile(QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)), names))
        return 0;
    double value = 0, withError = 0, error = 0;
    const bool evaluated = expr.evaluate(values, &value);
    const bool propagated = expr.evaluateWithError(values, errors, &withError, &error);
    if (propagated && (!evaluated || withError != value || !std::isfinite(error) || error < 0))
        abort();

    XrfTinyExpr canonical;
    if (!canonical.compile(expr.expression(), names)
        || canonical.expression() != expr.expression()) {
        fprintf(stderr, "canonical text does not compile to itself: %s\n",
                expr.expression().toUtf8().constData());
        abort();
    }
    double again = 0;
    if (canonical.evaluate(values, &again) != evaluated || (evaluated && again != value)) {
        fprintf(stderr, "canonical text %s gives %.17g, the original %.17g\n",
                expr.expression().toUtf8().constData(), again, value);
        abort();
    }
    return 0;
}
