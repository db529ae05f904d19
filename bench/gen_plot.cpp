// Writes a plot file for benchmarking feedfix: CR LF lines of 8 to 40
// characters, mostly pen records ("PU1200,3400;", "PD1234,567,1300,600;"),
// now and then other commands ("SP1;LT;IN;") and a page record
// ("PG;   9000,0;") every 2000 to 5000 lines.
//
//   gen_plot --bytes N [--seed S] OUTPUT   stops before the file would pass N bytes
//   gen_plot --lines N [--seed S] OUTPUT   writes exactly N lines
//
// The same arguments always give the same bytes: the generator uses its own
// pseudo-random numbers, never the library's distributions.
//
// Every value keeps feedfix on its normal path with a threshold of 15574 and
// any starting shift from 0 to 678: page values lie in 1000..15000, so the
// shifted page value stays inside the grid with a remainder of 0..678, and
// no line holds a digit in front of its pen command.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// splitmix64: small, fast, the same on every platform.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// A number from lo to hi, both included.
  int between(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1));
  }
};

constexpr std::size_t k_min_line = 8;
constexpr std::size_t k_max_line = 40;

void append_int(std::string& line, int value) {
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "%d", value);
  line.append(digits, static_cast<std::size_t>(n));
}

/// A coordinate: mostly 3 to 5 digits, sometimes small.
int coordinate(Random& rnd, int limit) {
  switch (rnd.between(0, 7)) {
    case 0: return rnd.between(0, 99);
    case 1: return rnd.between(100, 999);
    default: return rnd.between(1000, limit);
  }
}

/// "PU", "PD" or "PA" and 1 to 4 coordinate pairs, 8 to 40 characters.
void pen_record(Random& rnd, std::string& line) {
  static const char* const keys[] = {"PD", "PD", "PD", "PU", "PU", "PA"};
  for (;;) {
    line = keys[rnd.between(0, 5)];
    int pairs = rnd.between(1, 4);
    for (int p = 0; p < pairs; ++p) {
      std::string pair;
      if (p > 0) pair += ',';
      append_int(pair, coordinate(rnd, 15999));
      pair += ',';
      append_int(pair, coordinate(rnd, 10999));
      if (line.size() + pair.size() + 1 > k_max_line) break;
      line += pair;
    }
    line += ';';
    if (line.size() >= k_min_line && line.find(',') != std::string::npos) return;
  }
}

/// A few commands without coordinates, 8 to 40 characters.
void other_record(Random& rnd, std::string& line) {
  static const char* const commands[] = {"SP1;", "SP2;", "IN;", "LT;", "LT2;", "VS10;"};
  line.clear();
  while (line.size() < k_min_line) line += commands[rnd.between(0, 5)];
}

/// "PG;" and the page value from column 7 on, then ",0;".
void page_record(Random& rnd, std::string& line) {
  line = "PG;   ";
  append_int(line, rnd.between(1000, 15000));
  line += ",0;";
}

int usage() {
  std::fputs("usage: gen_plot (--bytes N | --lines N) [--seed S] OUTPUT\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long long limit = -1;
  bool by_lines = false;
  std::uint64_t seed = 1;
  const char* output = nullptr;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--bytes") == 0 && a + 1 < argc) {
      limit = std::atoll(argv[++a]);
    } else if (std::strcmp(argv[a], "--lines") == 0 && a + 1 < argc) {
      limit = std::atoll(argv[++a]);
      by_lines = true;
    } else if (std::strcmp(argv[a], "--seed") == 0 && a + 1 < argc) {
      seed = std::strtoull(argv[++a], nullptr, 10);
    } else if (argv[a][0] != '-' && output == nullptr) {
      output = argv[a];
    } else {
      return usage();
    }
  }
  if (limit < 0 || output == nullptr) return usage();

  std::FILE* out = std::fopen(output, "wb");
  if (out == nullptr) {
    std::perror(output);
    return 1;
  }
  static char buffer[1 << 20];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);

  Random rnd{seed};
  std::string line;
  long long bytes = 0;
  long long lines = 0;
  int until_page = rnd.between(2000, 5000);
  for (;;) {
    if (lines == 0) {
      line = "IN;SP1;LT;";
    } else if (--until_page == 0) {
      page_record(rnd, line);
      until_page = rnd.between(2000, 5000);
    } else if (rnd.between(0, 99) == 0) {
      other_record(rnd, line);
    } else {
      pen_record(rnd, line);
    }
    line += "\r\n";
    if (by_lines ? lines >= limit : bytes + static_cast<long long>(line.size()) > limit) break;
    std::fwrite(line.data(), 1, line.size(), out);
    bytes += static_cast<long long>(line.size());
    ++lines;
  }
  if (std::fclose(out) != 0) {
    std::perror(output);
    return 1;
  }
  return 0;
}
