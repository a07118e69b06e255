#ifndef RNG_H
#define RNG_H

// The noise of the samples: splitmix64, small and the same sequence on every platform,
// with distributions of our own because the std:: ones differ between standard libraries.
// The files must come out the same wherever they are regenerated.

#include <QtGlobal>

#include <cmath>

class Rng
{
public:
    explicit Rng(quint64 seed) : m_state(seed) { }

    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // In (0, 1], so that log() never sees 0.
    double uniform() { return double((next() >> 11) + 1) * (1.0 / 9007199254740992.0); }

    double normal()
    {
        const double u1 = uniform();
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    }

    quint32 poisson(double mean)
    {
        if (mean <= 0.0)
            return 0;
        if (mean < 30.0) {
            const double limit = std::exp(-mean);
            double product = uniform();
            quint32 k = 0;
            while (product > limit) {
                product *= uniform();
                ++k;
            }
            return k;
        }
        const double value = std::round(mean + std::sqrt(mean) * normal());
        return value < 0.0 ? 0 : quint32(value);
    }

private:
    quint64 m_state;
};

#endif // RNG_H
