// Finding bytes in short texts eight at a time (sixteen where the processor
// has SSE2 registers, as every x86-64 has), for the per-line work on large
// plot files.
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
              "the byte order decides which set bit is the first byte");

namespace byte_scan {

inline constexpr std::uint64_t k_ones = 0x0101010101010101u;
inline constexpr std::uint64_t k_low7 = 0x7F7F7F7F7F7F7F7Fu;

/// `c` in every byte of a word.
constexpr std::uint64_t broadcast(char c) { return k_ones * static_cast<unsigned char>(c); }

/// The high bit of each byte of `word` that is zero, and no other bit. Exact:
/// no carry crosses a byte, so a byte after a zero byte is never marked.
constexpr std::uint64_t zero_bytes(std::uint64_t word) {
  return ~(((word & k_low7) + k_low7) | word | k_low7);
}

/// The high bit of each byte of `word` that is below `limit` (at most 0x80),
/// and no other bit. Exact, like zero_bytes.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned char limit) {
  return ~(((word & k_low7) + broadcast(static_cast<char>(0x80 - limit))) | word | k_low7);
}

/// The high bit of each byte of `word` that is a blank or a NUL, and no other
/// bit: these two are the bytes that are zero once bit 5 is cleared.
constexpr std::uint64_t blank_or_nul_bytes(std::uint64_t word) {
  return zero_bytes(word & broadcast(static_cast<char>(0xDF)));
}

inline std::uint64_t load_word(const char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

/// Index (0 to 7) of the first byte in memory order that `marks` marks.
constexpr std::size_t first_marked(std::uint64_t marks) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(marks)) / 8;
  }
}

/// Index of the first of the `size` bytes at `text` that equals `a` or `b`,
/// or `size` when none does. Reads no byte beyond `text + size`.
inline std::size_t find_either(const char* text, std::size_t size, char a, char b) {
  if (size < 8) {
    for (std::size_t i = 0; i < size; ++i) {
      if (text[i] == a || text[i] == b) return i;
    }
    return size;
  }
  const std::uint64_t pattern_a = broadcast(a);
  const std::uint64_t pattern_b = broadcast(b);
  const auto marks_at = [&](std::size_t i) {
    std::uint64_t word = 0;
    std::memcpy(&word, text + i, sizeof word);
    return zero_bytes(word ^ pattern_a) | zero_bytes(word ^ pattern_b);
  };
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    if (const std::uint64_t marks = marks_at(i); marks != 0) return i + first_marked(marks);
  }
  // The last word ends at `size` and overlaps bytes already found clean, so
  // its first mark is the first one behind them.
  if (i < size) {
    if (const std::uint64_t marks = marks_at(size - 8); marks != 0) {
      return size - 8 + first_marked(marks);
    }
  }
  return size;
}

#ifdef FEEDFIX_BYTE_SCAN_SSE2
/// 16 bytes at `at`, whatever their alignment.
inline __m128i load_block(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

/// One bit per byte of `block` (bit 0 for its first byte) that is CR or LF.
inline unsigned cr_or_lf_bits(__m128i block) {
  const __m128i cr = _mm_cmpeq_epi8(block, _mm_set1_epi8('\r'));
  const __m128i lf = _mm_cmpeq_epi8(block, _mm_set1_epi8('\n'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(cr, lf)));
}

/// The bytes of `block` that are a blank or a NUL, as 0xFF; the others 0.
inline __m128i blank_or_nul_block(__m128i block) {
  const __m128i without_bit_5 = _mm_and_si128(block, _mm_set1_epi8(static_cast<char>(0xDF)));
  return _mm_cmpeq_epi8(without_bit_5, _mm_setzero_si128());
}
#endif

/// Index of the first CR or LF among the `size` bytes at `text`, or `size`
/// when there is none. Reads no byte beyond `text + size`.
inline std::size_t find_cr_or_lf(const char* text, std::size_t size) {
  std::size_t i = 0;
#ifdef FEEDFIX_BYTE_SCAN_SSE2
  for (; i + 16 <= size; i += 16) {
    if (const unsigned bits = cr_or_lf_bits(load_block(text + i)); bits != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(bits));
    }
  }
#endif
  for (; i + 8 <= size; i += 8) {
    const std::uint64_t word = load_word(text + i);
    // Bytes below 14 are rare in text and take in both CR and LF; only a word
    // that holds one is looked at closely.
    if (bytes_below(word, '\r' + 1) == 0) continue;
    const std::uint64_t marks =
        zero_bytes(word ^ broadcast('\r')) | zero_bytes(word ^ broadcast('\n'));
    if (marks != 0) return i + first_marked(marks);
  }
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

/// The 8 bytes at `text` as a word whose lowest byte is the first of them,
/// and the other way round.
inline std::uint64_t load_first_lowest(const char* text) {
  if constexpr (std::endian::native == std::endian::little) return load_word(text);
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(text[i]);
  return word;
}

inline void store_first_lowest(char* text, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(text, &word, sizeof word);
  } else {
    for (int i = 0; i < 8; ++i) text[i] = static_cast<char>(word >> (8 * i));
  }
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
#ifdef FEEDFIX_BYTE_SCAN_SSE2
  if (size >= 16) {
    __m128i found = _mm_setzero_si128();
    const auto copy_block = [&](std::size_t at) {
      const __m128i block = load_block(from + at);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), block);
      found = _mm_or_si128(found, blank_or_nul_block(block));
    };
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) copy_block(i);
    // The last block ends at `size`, over bytes already copied.
    if (i < size) copy_block(size - 16);
    return _mm_movemask_epi8(found) != 0;
  }
#endif
  if (size < 8) {
    bool found = false;
    for (std::size_t i = 0; i < size; ++i) {
      to[i] = from[i];
      found = found || from[i] == ' ' || from[i] == '\0';
    }
    return found;
  }
  std::uint64_t marks = 0;
  const auto copy_word = [&](std::size_t at) {
    const std::uint64_t word = load_word(from + at);
    std::memcpy(to + at, &word, sizeof word);
    marks |= blank_or_nul_bytes(word);
  };
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) copy_word(i);
  // The last word ends at `size`, over bytes already copied.
  if (i < size) copy_word(size - 8);
  return marks != 0;
}

}  // namespace byte_scan
