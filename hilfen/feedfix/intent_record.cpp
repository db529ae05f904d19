// The intent record: a few text lines, written through a new file that takes
// the record's name in one step, so that it is whole or not there at all.
#include "hilfen/feedfix/intent_record.h"

#include <charconv>
#include <string>

namespace {

const std::string k_name(k_intent_file);
constexpr std::string_view k_magic = "feedfix intent 1\n";
constexpr std::string_view k_end = "end\n";
// A record is a few hundred bytes; anything far larger is no record of ours.
constexpr std::size_t k_max_record = 16 * 1024;

void put_number(std::string& out, std::int64_t value) {
  out += std::to_string(value);
  out += ' ';
}

void put_unsigned(std::string& out, std::uint64_t value) {
  out += std::to_string(value);
  out += ' ';
}

void put_state(std::string& out, std::string_view key, const FileState& s) {
  out += key;
  out += ' ';
  put_unsigned(out, s.exists ? 1 : 0);
  put_unsigned(out, s.id.volume);
  put_unsigned(out, s.id.index);
  put_unsigned(out, s.size);
  put_number(out, s.modified);
  out.back() = '\n';
}

/// Reads the lines of a record one field at a time.
struct Reader {
  std::string_view rest;
  bool ok = true;

  bool take(std::string_view literal) {
    if (!ok || rest.substr(0, literal.size()) != literal) return ok = false;
    rest.remove_prefix(literal.size());
    return true;
  }

  template <typename T>
  T number(char after) {
    T value{};
    if (!ok) return value;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc{} || end == rest.data() + rest.size() || *end != after) {
      ok = false;
      return value;
    }
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()) + 1);
    return value;
  }

  FileState state(std::string_view key) {
    FileState s;
    take(key);
    take(" ");
    s.exists = number<unsigned>(' ') == 1;
    s.id.volume = number<std::uint64_t>(' ');
    s.id.index = number<std::uint64_t>(' ');
    s.size = number<std::uint64_t>(' ');
    s.modified = number<std::int64_t>('\n');
    return s;
  }
};

}  // namespace

std::string format_intent(const Intent& intent) {
  std::string out(k_magic);
  out += "settings ";
  put_number(out, intent.pg_threshold);
  put_number(out, intent.carried_shift);
  out.back() = '\n';
  put_state(out, "before", intent.plot_before);
  put_state(out, "corrected", intent.corrected);
  // The name may hold any byte but NUL: its length says where it ends.
  out += "plot ";
  out += std::to_string(intent.plot_name.size());
  out += '\n';
  out += intent.plot_name;
  out += '\n';
  out += k_end;
  return out;
}

bool parse_intent(std::string_view text, Intent& intent) {
  Reader r{text};
  Intent read;
  r.take(k_magic);
  r.take("settings ");
  read.pg_threshold = r.number<std::int32_t>(' ');
  read.carried_shift = r.number<std::int32_t>('\n');
  read.plot_before = r.state("before");
  read.corrected = r.state("corrected");
  r.take("plot ");
  const std::size_t length = r.number<std::size_t>('\n');
  if (!r.ok || length == 0 || length > r.rest.size()) return false;
  read.plot_name.assign(r.rest.substr(0, length));
  r.rest.remove_prefix(length);
  r.take("\n");
  r.take(k_end);
  if (!r.ok || !r.rest.empty()) return false;
  intent = std::move(read);
  return true;
}

OsError write_intent(const Intent& intent) {
  const std::string record = format_intent(intent);
  std::string temp_name;
  const OpenResult opened = os().create_beside(k_name, temp_name);
  if (opened.error != OsError::none) return opened.error;
  if (const OsError e = os().write_file(opened.handle, record.data(), record.size());
      e != OsError::none) {
    os().discard_beside(opened.handle, temp_name);
    return e;
  }
  return os().commit_beside(opened.handle, temp_name, k_name);
}

IntentFound read_intent(Intent& intent) {
  if (!os().path_state(k_name).exists) return IntentFound::none;
  const OpenResult opened = os().open_file(k_name, Access::read, Create::must_exist);
  if (opened.error == OsError::file_not_found) return IntentFound::none;
  if (opened.error != OsError::none) return IntentFound::unreadable;
  std::string text;
  char buffer[4096];
  bool read_ok = true;
  for (;;) {
    const ReadResult r = os().read_file(opened.handle, buffer, sizeof buffer);
    if (r.error != OsError::none) read_ok = false;
    if (r.error != OsError::none || r.count == 0) break;
    text.append(buffer, r.count);
    if (text.size() > k_max_record) break;
  }
  (void)os().close_file(opened.handle);  // Only read.
  if (!read_ok) return IntentFound::unreadable;
  return parse_intent(text, intent) ? IntentFound::found : IntentFound::garbage;
}

OsError remove_intent() { return os().remove_file(k_name); }

bool same_file_state(const FileState& now, const FileState& then) {
  return now.exists && then.exists && now.id == then.id && now.size == then.size &&
         now.modified == then.modified;
}
