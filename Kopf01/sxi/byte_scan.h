// Finding bytes in short texts sixteen at a time where the processor has
// SSE2 registers, as every x86-64 has (one at a time elsewhere), and decimal
// numbers of up to 8 digits worked on as one word, for the per-line work on
// large plot files.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define FEEDFIX_BYTE_SCAN_SSE2 1
#endif

static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "a word's first byte is its lowest or its highest");

namespace byte_scan {

inline constexpr std::uint64_t k_ones = 0x0101010101010101u;
inline constexpr std::uint64_t k_low7 = 0x7F7F7F7F7F7F7F7Fu;

/// `c` in every byte of a word.
constexpr std::uint64_t broadcast(char c) { return k_ones * static_cast<unsigned char>(c); }

#ifdef FEEDFIX_BYTE_SCAN_SSE2
/// 16 bytes at `at`, whatever their alignment.
inline __m128i load_block(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
#endif

/// Index of the first CR or LF among the `size` bytes at `text`, or `size`
/// when there is none. Reads no byte beyond `text + size`.
inline std::size_t find_cr_or_lf(const char* text, std::size_t size) {
  std::size_t i = 0;
#ifdef FEEDFIX_BYTE_SCAN_SSE2
  for (; i + 16 <= size; i += 16) {
    const __m128i block = load_block(text + i);
    const __m128i cr_or_lf = _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\r')),
                                          _mm_cmpeq_epi8(block, _mm_set1_epi8('\n')));
    if (const auto bits = static_cast<unsigned>(_mm_movemask_epi8(cr_or_lf)); bits != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(bits));
    }
  }
#endif
  for (; i < size; ++i) {
    if (text[i] == '\r' || text[i] == '\n') return i;
  }
  return size;
}

/// The bytes copy_to_blank_or_control looks at.
inline constexpr std::size_t k_line_scan = 64;

/// Copies the bytes at `from` to `to` in blocks of 16 up to the first of them
/// that is a control character, a blank or a NUL (at most 0x20), among the
/// first k_line_scan, and returns its index; k_line_scan when there is none.
/// A usual line has none of them up to its CR or LF, which is then the byte
/// found. The block that holds it is read and written whole, and so are the
/// blocks in front of it: up to k_line_scan bytes at `from` and at `to`.
inline std::size_t copy_to_blank_or_control(const char* from, char* to) {
#ifdef FEEDFIX_BYTE_SCAN_SSE2
  const __m128i blank = _mm_set1_epi8(' ');
  for (std::size_t at = 0; at < k_line_scan; at += 16) {
    const __m128i bytes = load_block(from + at);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), bytes);
    // Unsigned: the byte is at most a blank when the greater of the two is
    // the blank.
    const __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(bytes, blank), blank);
    if (const auto bits = static_cast<unsigned>(_mm_movemask_epi8(low)); bits != 0) {
      return at + static_cast<unsigned>(std::countr_zero(bits));
    }
  }
  return k_line_scan;
#else
  std::size_t at = 0;
  for (; at < k_line_scan; ++at) {
    if (static_cast<unsigned char>(from[at]) <= ' ') break;
  }
  std::memcpy(to, from, at < k_line_scan / 2 ? k_line_scan / 2 : k_line_scan);
  return at;
#endif
}

/// Whether the `size` bytes at `text` hold `first` followed by one of `a`,
/// `b`, `c`, `d` (the byte behind them included). Reads blocks of 16 from
/// `text` up to `size` and one byte further.
inline bool holds_pair(const char* text, std::size_t size, char first, char a, char b, char c,
                       char d) {
#ifdef FEEDFIX_BYTE_SCAN_SSE2
  for (std::size_t at = 0; at < size; at += 16) {
    const __m128i firsts = _mm_cmpeq_epi8(load_block(text + at), _mm_set1_epi8(first));
    const __m128i next = load_block(text + at + 1);
    const __m128i seconds = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8(a)),
                                                      _mm_cmpeq_epi8(next, _mm_set1_epi8(b))),
                                         _mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8(c)),
                                                      _mm_cmpeq_epi8(next, _mm_set1_epi8(d))));
    auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(firsts, seconds)));
    // Pairs that begin behind `size` do not count.
    if (size - at < 16) bits &= (1u << (size - at)) - 1;
    if (bits != 0) return true;
  }
  return false;
#else
  for (std::size_t at = 0; at < size; ++at) {
    const char next = text[at + 1];
    if (text[at] == first && (next == a || next == b || next == c || next == d)) return true;
  }
  return false;
#endif
}

inline std::uint64_t swap_bytes(std::uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(word);
#else
  std::uint64_t swapped = 0;
  for (int i = 0; i < 8; ++i) swapped = swapped << 8 | (word >> (8 * i) & 0xFF);
  return swapped;
#endif
}

/// The 8 bytes at `text` as a word whose lowest byte is the first of them,
/// and the other way round.
inline std::uint64_t load_first_lowest(const char* text) {
  std::uint64_t word = 0;
  std::memcpy(&word, text, sizeof word);
  return std::endian::native == std::endian::little ? word : swap_bytes(word);
}

inline void store_first_lowest(char* text, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = swap_bytes(word);
  std::memcpy(text, &word, sizeof word);
}

/// Up to 8 decimal digits as one word by place: byte i holds the digit of
/// 10 to the i-th power (0 to 9), the bytes above the first digit 0.
using DigitPlaces = std::uint64_t;

constexpr DigitPlaces digit_places(std::uint32_t value) {
  DigitPlaces places = 0;
  for (int i = 0; value != 0; ++i, value /= 10) places |= std::uint64_t{value % 10} << (8 * i);
  return places;
}

/// The leading decimal digits of the 8 bytes at `text`: how many there are
/// (0 to 8), and the bytes less '0', of which those up to the first that is
/// no digit are exact (a byte below '0' borrows from the bytes behind it).
struct LeadingDigits {
  std::uint64_t values = 0;
  std::size_t count = 0;
};

inline LeadingDigits leading_digits(const char* text) {
  // Each byte less '0': a digit gives 0 to 9, and any other byte 10 or more,
  // which gets its high bit by the addition of 0x76, or a wrapped value with
  // its high bit set. A carry leaves only a byte that is no digit, into the
  // bytes behind it, which do not count.
  const std::uint64_t d = load_first_lowest(text) - broadcast('0');
  const std::uint64_t others = ((d + broadcast(0x76)) | d) & ~k_low7;
  // No other byte: 64 bits from the bottom, so 8 digits.
  return {d, static_cast<unsigned>(std::countr_zero(others)) / 8u};
}

/// The digits of `digits` (1 to 8 of them) by place: they go to the top,
/// the first one highest, pushing the bytes behind them out, and are then
/// turned round so that the last one is lowest.
inline DigitPlaces places_of(const LeadingDigits& digits) {
  // 64 less 8 a digit, as a shift count: 0 for 8 digits.
  const std::size_t behind_bits = (0 - 8 * digits.count) & 63;
  return swap_bytes(digits.values << behind_bits);
}

/// What add_places needs of a number it adds.
constexpr DigitPlaces addend_places(DigitPlaces places) {
  return places + broadcast(static_cast<char>(0xF6));
}

/// The sum of two numbers by place, the second one from addend_places. The
/// sum must have 8 digits at most. Each place gets 246 more than its own
/// digits: a place of 10 or more carries into the next one by itself, and a
/// place that did not carry keeps 246 too many, which shows in its high bit.
constexpr DigitPlaces add_places(DigitPlaces a, DigitPlaces addend) {
  const std::uint64_t sum = a + addend;
  const std::uint64_t kept = (sum >> 7) & k_ones;
  return sum - kept * 0xF6;
}

/// Writes a number by place (not 0) in decimal at `out`, without leading
/// zeros; returns the end of the number. Writes 8 bytes at `out`: the
/// characters behind the number are left for the caller to overwrite.
inline char* put_places(char* out, DigitPlaces places) {
  // The lowest bit changes no count of leading zeros of a number that is not
  // 0, and spares the count its case for 0.
  const auto zero_bits = static_cast<unsigned>(std::countl_zero(places | 1)) & ~7u;
  store_first_lowest(out, (swap_bytes(places) >> zero_bits) + broadcast('0'));
  return out + 8 - zero_bits / 8;
}

/// Copies the `size` bytes at `from` to `to` (the two do not overlap) and
/// tells whether any of them is a blank or a NUL.
inline bool copy_finding_blank_or_nul(const char* from, std::size_t size, char* to) {
  // Blank and NUL are the bytes that are zero once bit 5 is cleared.
#ifdef FEEDFIX_BYTE_SCAN_SSE2
  if (size >= 16) {
    const __m128i without_bit_5 = _mm_set1_epi8(static_cast<char>(0xDF));
    __m128i found = _mm_setzero_si128();
    const auto copy_block = [&](std::size_t at) {
      const __m128i block = load_block(from + at);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), block);
      found = _mm_or_si128(found, _mm_cmpeq_epi8(_mm_and_si128(block, without_bit_5),
                                                 _mm_setzero_si128()));
    };
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) copy_block(i);
    // The last block ends at `size`, over bytes already copied.
    if (i < size) copy_block(size - 16);
    return _mm_movemask_epi8(found) != 0;
  }
#endif
  if (size >= 8) {
    std::uint64_t found = 0;
    const auto copy_word = [&](std::size_t at) {
      std::uint64_t word = 0;
      std::memcpy(&word, from + at, sizeof word);
      std::memcpy(to + at, &word, sizeof word);
      // A byte is zero where adding 0x7F to its low 7 bits sets no high bit.
      word &= broadcast(static_cast<char>(0xDF));
      found |= ~(((word & k_low7) + k_low7) | word | k_low7);
    };
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) copy_word(i);
    // The last word ends at `size`, over bytes already copied.
    if (i < size) copy_word(size - 8);
    return found != 0;
  }
  bool found = false;
  for (std::size_t i = 0; i < size; ++i) {
    to[i] = from[i];
    found |= (from[i] & 0xDF) == 0;
  }
  return found;
}

}  // namespace byte_scan
