#ifndef XRFTINYEXPR_H
#define XRFTINYEXPR_H

// Arithmetic over named variables, for the pseudo elements of a result: "Cr+3.3*Mo",
// "Cu/(Cu+Zn)*100". Compile once against the names that may appear, then evaluate for any
// number of value sets.
//
//     XrfTinyExpr pren;
//     if (!pren.compile(QStringLiteral("Cr + 3.3*Mo"), elementNames))
//         qWarning() << pren.errorText() << "at" << pren.errorPosition();
//     double value = 0, error = 0;
//     if (pren.evaluateWithError(concentrations, errors, &value, &error)) ...
//
// Grammar, usual precedence, lowest first:
//   expression  term (('+' | '-') term)*
//   term        unary (('*' | '/') unary)*
//   unary       ('-' | '+') unary | power
//   power       primary ('^' unary)?                 right-associative: 2^3^2 is 2^9
//   primary     number | name | name '(' arguments ')' | '(' expression ')'
// so -2^2 is -4 and 2^-1 is 0.5. Numbers: 12, 1.5, .5, 5., 1e-3. Names start with a letter or
// '_' and go on with letters, digits and '_'; they are case-sensitive (Co is not CO).
// Functions: sqrt, abs, exp, ln, log10 of one argument; min, max, pow of two.
// Nesting (parentheses, signs, powers, arguments) deeper than maxDepth is refused, so hostile
// text cannot exhaust the stack; evaluation itself runs without recursion.
//
// Evaluation fails when a variable the expression reads has no value, on a division by zero
// and when any intermediate or the final value is not finite (ln(0), sqrt(-1), overflow).
//
// evaluateWithError() propagates independent errors to first order,
//   error = sqrt(sum_i (df/dx_i * sigma_i)^2),
// with exact derivatives carried along with every value (forward mode). A variable without
// an error has sigma 0 and adds nothing, even where its derivative is infinite; an infinite
// or undefined contribution otherwise makes the evaluation fail. abs() has slope 1 at 0, and
// min()/max() follow their first argument on a tie.
//
// A value class, implicitly shared; the const functions may run on several threads at once.

#include "xrfcommon_global.h"

#include <QMap>
#include <QSharedDataPointer>
#include <QString>
#include <QStringList>

class XrfTinyExprData;

class XRFCOMMON_EXPORT XrfTinyExpr
{
public:
    static constexpr int maxDepth = 256;

    XrfTinyExpr();
    XrfTinyExpr(const XrfTinyExpr &other);
    XrfTinyExpr &operator=(const XrfTinyExpr &other);
    ~XrfTinyExpr();

    // Replaces what was compiled before. On false, isCompiled() is false and errorText() and
    // errorPosition() (a character index into the text; its length at an unexpected end)
    // say what is wrong and where.
    bool compile(const QString &expression, const QStringList &variables);
    bool isCompiled() const;
    QString errorText() const;
    int errorPosition() const; // -1 without an error

    // The compiled expression with single spaces around binary operators and only the
    // parentheses it needs ("Cu / (Cu + Zn) * 100"); it compiles to the same expression.
    // Empty when nothing is compiled.
    QString expression() const;
    // The names the expression reads, each once, in the order they first appear.
    QStringList variables() const;

    // False, and *value untouched, when nothing is compiled or evaluation fails.
    bool evaluate(const QMap<QString, double> &values, double *value) const;
    // A missing error counts as 0. False, and both outputs untouched, when evaluation fails or
    // the propagated error is not finite.
    bool evaluateWithError(const QMap<QString, double> &values, const QMap<QString, double> &errors,
                           double *value, double *error) const;

private:
    QSharedDataPointer<XrfTinyExprData> d;
};

#endif // XRFTINYEXPR_H
