#pragma once

#include <QtGlobal>

#include <array>
#include <cstdint>
#include <limits>
#include <random>

// A random bit generator small enough for one a unit in a fleet of a hundred thousand: 32 bytes
// of state (xoshiro256**, by Blackman and Vigna), where std::mt19937 holds five kilobytes.
// Seeded from a seed sequence as the standard engines are; the standard distributions take it.
class SeededRandom {
public:
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    SeededRandom() { seed(0); }
    void seed(std::seed_seq& sequence)
    {
        std::array<std::uint32_t, 8> words{};
        sequence.generate(words.begin(), words.end());
        for (std::size_t k = 0; k < 4; ++k)
            m_state[k] = (std::uint64_t(words[2 * k]) << 32) | words[2 * k + 1];
        if (m_state == std::array<std::uint64_t, 4>{})
            m_state[0] = 1; // all zero would draw zeros for ever
    }
    void seed(std::uint64_t value)
    {
        std::seed_seq sequence{std::uint32_t(value), std::uint32_t(value >> 32)};
        seed(sequence);
    }

    result_type operator()()
    {
        const std::uint64_t result = rotate(m_state[1] * 5, 7) * 9;
        const std::uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotate(m_state[3], 45);
        return result;
    }
    // The high 32 bits of a draw (the better ones).
    std::uint32_t next32() { return std::uint32_t((*this)() >> 32); }

private:
    static std::uint64_t rotate(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::array<std::uint64_t, 4> m_state{};
};
