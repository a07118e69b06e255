#include "xrftinyexpr.h"

#include <QLocale>
#include <QSharedData>
#include <QVector>

#include <charconv>
#include <cmath>
#include <vector>

namespace {

enum class Op : quint8 {
    Number,
    Variable,
    Neg,
    Add,
    Sub,
    Mul,
    Div,
    Pow,
    Sqrt,
    Abs,
    Exp,
    Ln,
    Log10,
    Min,
    Max
};

// The program is the tree in post-order: every node follows its operands, so one pass with a
// stack evaluates or prints it without recursion.
struct Node
{
    Op op = Op::Number;
    double number = 0.0; // Number
    int variable = -1; // Variable: index into the used names
};

struct Function
{
    const char *name;
    Op op;
    int arity;
};

const Function functions[] = {
    { "sqrt", Op::Sqrt, 1 },   { "abs", Op::Abs, 1 }, { "exp", Op::Exp, 1 }, { "ln", Op::Ln, 1 },
    { "log10", Op::Log10, 1 }, { "min", Op::Min, 2 }, { "max", Op::Max, 2 }, { "pow", Op::Pow, 2 },
};

const Function *findFunction(const QString &name)
{
    for (const Function &f : functions) {
        if (name == QLatin1String(f.name))
            return &f;
    }
    return nullptr;
}

const char *functionName(Op op)
{
    for (const Function &f : functions) {
        if (f.op == op)
            return f.name;
    }
    return "";
}

int arity(Op op)
{
    switch (op) {
    case Op::Number:
    case Op::Variable:
        return 0;
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Div:
    case Op::Pow:
    case Op::Min:
    case Op::Max:
        return 2;
    default:
        return 1;
    }
}

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

class Parser
{
public:
    Parser(const QString &text, const QStringList &known) : m_text(text), m_known(known) { }

    bool parse()
    {
        skipSpace();
        if (atEnd())
            return fail(m_pos, QStringLiteral("empty expression"));
        if (!expression())
            return false;
        skipSpace();
        if (!atEnd())
            return unexpected();
        return true;
    }

    QVector<Node> program;
    QStringList used;
    QString error;
    int errorPosition = -1;

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return atEnd() ? QChar() : m_text.at(m_pos); }
    void skipSpace()
    {
        while (!atEnd() && m_text.at(m_pos).isSpace())
            ++m_pos;
    }

    bool fail(int position, const QString &text)
    {
        // The innermost failure is the one to report.
        if (errorPosition < 0) {
            errorPosition = position;
            error = text;
        }
        return false;
    }
    bool unexpected()
    {
        if (atEnd())
            return fail(m_pos, QStringLiteral("unexpected end of expression"));
        return fail(m_pos, QStringLiteral("unexpected '%1'").arg(peek()));
    }

    void append(Op op)
    {
        Node node;
        node.op = op;
        program.append(node);
    }

    bool expression()
    {
        if (!term())
            return false;
        for (;;) {
            skipSpace();
            const QChar c = peek();
            if (c != QLatin1Char('+') && c != QLatin1Char('-'))
                return true;
            ++m_pos;
            if (!term())
                return false;
            append(c == QLatin1Char('+') ? Op::Add : Op::Sub);
        }
    }

    bool term()
    {
        if (!unary())
            return false;
        for (;;) {
            skipSpace();
            const QChar c = peek();
            if (c != QLatin1Char('*') && c != QLatin1Char('/'))
                return true;
            ++m_pos;
            if (!unary())
                return false;
            append(c == QLatin1Char('*') ? Op::Mul : Op::Div);
        }
    }

    // Every way down (parentheses, arguments, signs, exponents) passes through here, so the
    // depth counted here bounds the recursion.
    bool unary()
    {
        struct Depth
        {
            int &depth;
            explicit Depth(int &d) : depth(d) { ++depth; }
            ~Depth() { --depth; }
        } guard(m_depth);
        skipSpace();
        if (m_depth > XrfTinyExpr::maxDepth) {
            return fail(m_pos,
                        QStringLiteral("nested deeper than %1 levels").arg(XrfTinyExpr::maxDepth));
        }
        const QChar c = peek();
        if (c == QLatin1Char('-')) {
            ++m_pos;
            if (!unary())
                return false;
            append(Op::Neg);
            return true;
        }
        if (c == QLatin1Char('+')) {
            ++m_pos;
            return unary();
        }
        return power();
    }

    bool power()
    {
        if (!primary())
            return false;
        skipSpace();
        if (peek() != QLatin1Char('^'))
            return true;
        ++m_pos;
        if (!unary())
            return false;
        append(Op::Pow);
        return true;
    }

    bool primary()
    {
        skipSpace();
        const int start = m_pos;
        const QChar c = peek();
        if (isAsciiDigit(c)
            || (c == QLatin1Char('.') && m_pos + 1 < m_text.size()
                && isAsciiDigit(m_text.at(m_pos + 1))))
            return number();
        if (c.isLetter() || c == QLatin1Char('_')) {
            while (!atEnd()
                   && (peek().isLetter() || isAsciiDigit(peek()) || peek() == QLatin1Char('_')))
                ++m_pos;
            const QString name = m_text.mid(start, m_pos - start);
            skipSpace();
            if (peek() == QLatin1Char('('))
                return call(name, start);
            if (!m_known.contains(name))
                return fail(start, QStringLiteral("unknown variable '%1'").arg(name));
            int index = used.indexOf(name);
            if (index < 0) {
                index = used.size();
                used.append(name);
            }
            Node node;
            node.op = Op::Variable;
            node.variable = index;
            program.append(node);
            return true;
        }
        if (c == QLatin1Char('(')) {
            ++m_pos;
            if (!expression())
                return false;
            return closing();
        }
        return unexpected();
    }

    bool closing()
    {
        skipSpace();
        if (peek() == QLatin1Char(')')) {
            ++m_pos;
            return true;
        }
        if (atEnd())
            return fail(m_pos, QStringLiteral("missing ')'"));
        return unexpected();
    }

    bool call(const QString &name, int start)
    {
        const Function *function = findFunction(name);
        if (!function)
            return fail(start, QStringLiteral("unknown function '%1'").arg(name));
        ++m_pos; // '('
        const QString count = function->arity == 1
                ? QStringLiteral("1 argument")
                : QStringLiteral("%1 arguments").arg(function->arity);
        for (int i = 0; i < function->arity; ++i) {
            if (i > 0) {
                skipSpace();
                if (peek() != QLatin1Char(','))
                    return fail(m_pos, QStringLiteral("'%1' takes %2").arg(name, count));
                ++m_pos;
            }
            if (!expression())
                return false;
        }
        skipSpace();
        if (peek() == QLatin1Char(','))
            return fail(m_pos, QStringLiteral("'%1' takes %2").arg(name, count));
        if (!closing())
            return false;
        append(function->op);
        return true;
    }

    bool number()
    {
        const int start = m_pos;
        while (isAsciiDigit(peek()))
            ++m_pos;
        if (peek() == QLatin1Char('.')) {
            ++m_pos;
            while (isAsciiDigit(peek()))
                ++m_pos;
        }
        // An exponent only with digits: "2e" is the number 2 followed by the name e.
        if (peek() == QLatin1Char('e') || peek() == QLatin1Char('E')) {
            int p = m_pos + 1;
            if (p < m_text.size()
                && (m_text.at(p) == QLatin1Char('+') || m_text.at(p) == QLatin1Char('-')))
                ++p;
            if (p < m_text.size() && isAsciiDigit(m_text.at(p))) {
                m_pos = p;
                while (isAsciiDigit(peek()))
                    ++m_pos;
            }
        }
        // from_chars reads the C locale whatever the process locale is.
        const QByteArray digits = m_text.mid(start, m_pos - start).toLatin1();
        Node node;
        const auto read = std::from_chars(digits.constData(), digits.constData() + digits.size(),
                                          node.number);
        if (read.ec != std::errc() || read.ptr != digits.constData() + digits.size()
            || !std::isfinite(node.number))
            return fail(start, QStringLiteral("number out of range"));
        program.append(node);
        return true;
    }

    const QString &m_text;
    const QStringList &m_known;
    int m_pos = 0;
    int m_depth = 0;
};

enum Precedence { Additive = 1, Multiplicative, Sign, Exponent, Atom };

int precedence(Op op)
{
    switch (op) {
    case Op::Add:
    case Op::Sub:
        return Additive;
    case Op::Mul:
    case Op::Div:
        return Multiplicative;
    case Op::Neg:
        return Sign;
    case Op::Pow:
        return Exponent;
    default:
        return Atom;
    }
}

struct Piece
{
    QString text;
    int precedence;
};

QString parenthesised(const Piece &piece, bool needed)
{
    return needed ? QLatin1Char('(') + piece.text + QLatin1Char(')') : piece.text;
}

// Parentheses only where the tree differs from what precedence and associativity would read.
QString print(const QVector<Node> &program, const QStringList &names)
{
    QVector<Piece> stack;
    for (const Node &node : program) {
        const int prec = precedence(node.op);
        switch (node.op) {
        case Op::Number:
            stack.append(
                    { QString::number(node.number, 'g', QLocale::FloatingPointShortest), prec });
            break;
        case Op::Variable:
            stack.append({ names.at(node.variable), prec });
            break;
        case Op::Neg: {
            Piece &a = stack.last();
            // "--x" without parentheses: each pair would cost a level of nesting, and a
            // long run of signs would no longer compile.
            a.text = QLatin1Char('-') + parenthesised(a, a.precedence < Sign);
            a.precedence = prec;
            break;
        }
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
        case Op::Pow: {
            const Piece b = stack.takeLast();
            Piece &a = stack.last();
            const bool power = node.op == Op::Pow;
            if (a.precedence < prec || (power && a.precedence == prec))
                a.text = parenthesised(a, true);
            static const char *const symbols[] = { " + ", " - ", " * ", " / " };
            if (power)
                a.text += QLatin1Char('^');
            else
                a.text += QLatin1String(symbols[int(node.op) - int(Op::Add)]);
            a.text += parenthesised(b, power ? b.precedence < Sign : b.precedence <= prec);
            a.precedence = prec;
            break;
        }
        default: {
            const int n = arity(node.op);
            QStringList arguments;
            for (int i = stack.size() - n; i < stack.size(); ++i)
                arguments.append(stack.at(i).text);
            stack.resize(stack.size() - n);
            stack.append({ QLatin1String(functionName(node.op)) + QLatin1Char('(')
                                   + arguments.join(QLatin1String(", ")) + QLatin1Char(')'),
                           prec });
            break;
        }
        }
    }
    return stack.isEmpty() ? QString() : stack.first().text;
}

// A derivative times a gradient entry, where a zero on either side is an exact zero: a
// variable that does not reach this node, or reaches it with no effect, adds nothing even
// when the other factor is infinite.
inline double times(double derivative, double gradient)
{
    return derivative == 0.0 || gradient == 0.0 ? 0.0 : derivative * gradient;
}

// Runs the program. With gradient non-null, it receives df/dx for each used variable.
bool run(const QVector<Node> &program, const QStringList &names,
         const QMap<QString, double> &values, double *result, std::vector<double> *gradient)
{
    const int n = gradient ? names.size() : 0;
    std::vector<double> inputs;
    inputs.reserve(names.size());
    for (const QString &name : names) {
        const auto it = values.constFind(name);
        if (it == values.constEnd())
            return false;
        inputs.push_back(it.value());
    }

    std::vector<double> stack;
    std::vector<double> grads; // n entries per stack entry
    for (const Node &node : program) {
        double r = 0.0;
        switch (node.op) {
        case Op::Number:
        case Op::Variable:
            r = node.op == Op::Number ? node.number : inputs[node.variable];
            stack.push_back(r);
            grads.resize(grads.size() + n, 0.0);
            if (n && node.op == Op::Variable)
                grads[grads.size() - n + node.variable] = 1.0;
            break;
        default: {
            const int k = arity(node.op);
            const size_t ia = stack.size() - k;
            const double a = stack[ia];
            const double b = k == 2 ? stack[ia + 1] : 0.0;
            double da = 0.0; // df/da
            double db = 0.0; // df/db
            switch (node.op) {
            case Op::Neg:
                r = -a;
                da = -1.0;
                break;
            case Op::Add:
                r = a + b;
                da = 1.0;
                db = 1.0;
                break;
            case Op::Sub:
                r = a - b;
                da = 1.0;
                db = -1.0;
                break;
            case Op::Mul:
                r = a * b;
                da = b;
                db = a;
                break;
            case Op::Div:
                if (b == 0.0)
                    return false;
                r = a / b;
                da = 1.0 / b;
                db = -r / b;
                break;
            case Op::Pow:
                r = std::pow(a, b);
                da = b * std::pow(a, b - 1.0);
                // d(a^b)/db = a^b ln a; 0 where a^b is 0, and undefined (NaN) for a < 0,
                // which only matters when b carries a gradient.
                db = r == 0.0 ? 0.0 : r * std::log(a);
                break;
            case Op::Sqrt:
                r = std::sqrt(a);
                da = 0.5 / r;
                break;
            case Op::Abs:
                r = std::fabs(a);
                da = a < 0.0 ? -1.0 : 1.0;
                break;
            case Op::Exp:
                r = std::exp(a);
                da = r;
                break;
            case Op::Ln:
                r = std::log(a);
                da = 1.0 / a;
                break;
            case Op::Log10:
                r = std::log10(a);
                da = 1.0 / (a * std::log(10.0));
                break;
            case Op::Min:
            case Op::Max: {
                const bool second = node.op == Op::Min ? b < a : b > a;
                r = second ? b : a;
                da = second ? 0.0 : 1.0;
                db = second ? 1.0 : 0.0;
                break;
            }
            default:
                return false;
            }
            if (n) {
                double *ga = grads.data() + ia * n;
                const double *gb = ga + n;
                for (int i = 0; i < n; ++i)
                    ga[i] = times(da, ga[i]) + (k == 2 ? times(db, gb[i]) : 0.0);
            }
            stack.resize(ia + 1);
            stack[ia] = r;
            grads.resize((ia + 1) * n);
            break;
        }
        }
        if (!std::isfinite(stack.back()))
            return false;
    }
    if (stack.size() != 1)
        return false;
    *result = stack.front();
    if (gradient)
        gradient->assign(grads.begin(), grads.end());
    return true;
}

} // namespace

class XrfTinyExprData : public QSharedData
{
public:
    QVector<Node> program;
    QStringList variables;
    QString text;
    QString errorText;
    int errorPosition = -1;
};

XrfTinyExpr::XrfTinyExpr() : d(new XrfTinyExprData) { }
XrfTinyExpr::XrfTinyExpr(const XrfTinyExpr &other) = default;
XrfTinyExpr &XrfTinyExpr::operator=(const XrfTinyExpr &other) = default;
XrfTinyExpr::~XrfTinyExpr() = default;

bool XrfTinyExpr::compile(const QString &expression, const QStringList &variables)
{
    Parser parser(expression, variables);
    d->program.clear();
    d->variables.clear();
    d->text.clear();
    if (!parser.parse()) {
        d->errorText = parser.error;
        d->errorPosition = parser.errorPosition;
        return false;
    }
    d->errorText.clear();
    d->errorPosition = -1;
    d->program = parser.program;
    d->variables = parser.used;
    d->text = print(d->program, d->variables);
    return true;
}

bool XrfTinyExpr::isCompiled() const
{
    return !d->program.isEmpty();
}

QString XrfTinyExpr::errorText() const
{
    return d->errorText;
}

int XrfTinyExpr::errorPosition() const
{
    return d->errorPosition;
}

QString XrfTinyExpr::expression() const
{
    return d->text;
}

QStringList XrfTinyExpr::variables() const
{
    return d->variables;
}

bool XrfTinyExpr::evaluate(const QMap<QString, double> &values, double *value) const
{
    double result = 0.0;
    if (!isCompiled() || !run(d->program, d->variables, values, &result, nullptr))
        return false;
    if (value)
        *value = result;
    return true;
}

bool XrfTinyExpr::evaluateWithError(const QMap<QString, double> &values,
                                    const QMap<QString, double> &errors, double *value,
                                    double *error) const
{
    double result = 0.0;
    std::vector<double> gradient;
    if (!isCompiled() || !run(d->program, d->variables, values, &result, &gradient))
        return false;
    double sum = 0.0;
    for (int i = 0; i < d->variables.size(); ++i) {
        const double sigma = errors.value(d->variables.at(i), 0.0);
        if (sigma == 0.0)
            continue;
        const double part = gradient[size_t(i)] * sigma;
        sum += part * part;
    }
    const double propagated = std::sqrt(sum);
    if (!std::isfinite(propagated))
        return false;
    if (value)
        *value = result;
    if (error)
        *error = propagated;
    return true;
}
