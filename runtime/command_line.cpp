// Splitting a command line into arguments by the console-program rules: a
// pure text function, for the Win32 backend and the tests alike.
#include "runtime/command_line.h"

namespace {

/// Reads a command line left to right, keeping double-byte pairs together.
class LineReader {
 public:
  LineReader(std::string_view line, const bool* lead_bytes) : line_(line), lead_(lead_bytes) {}

  bool at_end() const { return pos_ >= line_.size(); }
  /// Whether the character `ahead` places on is `c` (never past the end).
  bool next_is(char c, std::size_t ahead = 0) const {
    return pos_ + ahead < line_.size() && line_[pos_ + ahead] == c;
  }
  bool next_is_blank() const { return next_is(' ') || next_is('\t'); }
  void skip() { ++pos_; }

  /// Appends the character at the cursor to `out` and passes it: a lead byte
  /// takes the byte behind it along, so that byte is never read as a quote,
  /// backslash, blank or tab. A lead byte at the very end stands alone.
  void copy_character(std::string& out) {
    const char c = line_[pos_++];
    out.push_back(c);
    if (lead_ != nullptr && lead_[static_cast<unsigned char>(c)] && !at_end()) {
      out.push_back(line_[pos_++]);
    }
  }

 private:
  std::string_view line_;
  const bool* lead_;
  std::size_t pos_ = 0;
};

/// The program's name: quoted up to the next quote (backslashes are plain
/// characters here), or up to the first blank or tab.
std::string read_program_name(LineReader& reader) {
  std::string name;
  const bool quoted = reader.next_is('"');
  if (quoted) reader.skip();
  while (!reader.at_end() && (quoted ? !reader.next_is('"') : !reader.next_is_blank())) {
    reader.copy_character(name);
  }
  if (!reader.at_end()) reader.skip();  // the closing quote, or the blank or tab behind the name
  return name;
}

/// One argument, from its first character to an unquoted blank or tab or the
/// end of the line.
std::string read_argument(LineReader& reader) {
  std::string argument;
  bool quoting = false;
  for (;;) {
    std::size_t backslashes = 0;
    while (reader.next_is('\\')) {
      reader.skip();
      ++backslashes;
    }
    bool copy_quote = false;
    if (reader.next_is('"')) {
      if (backslashes % 2 == 1) {
        // An odd run escapes the quote: (n-1)/2 backslashes and the quote.
        copy_quote = true;
      } else if (quoting && reader.next_is('"', 1)) {
        // "" inside quoting puts one quote in and ends the quoting.
        reader.skip();
        copy_quote = true;
        quoting = false;
      } else {
        quoting = !quoting;
      }
      // Halved only before a quote; otherwise the run is kept as it stands.
      backslashes /= 2;
    }
    argument.append(backslashes, '\\');
    if (reader.at_end() || (!quoting && reader.next_is_blank())) break;
    if (reader.next_is('"') && !copy_quote) {
      reader.skip();  // a quote that only switched quoting
      continue;
    }
    reader.copy_character(argument);
  }
  return argument;
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line, const bool* lead_bytes) {
  LineReader reader(line, lead_bytes);
  std::vector<std::string> arguments;
  arguments.push_back(read_program_name(reader));
  for (;;) {
    while (reader.next_is_blank()) reader.skip();
    if (reader.at_end()) break;
    arguments.push_back(read_argument(reader));
  }
  return arguments;
}
