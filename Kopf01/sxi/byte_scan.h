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
