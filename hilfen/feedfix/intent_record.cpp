// The intent record: a few text lines, written through a new file that takes
// the record's name in one step, so that it is whole or not there at all.
#include "hilfen/feedfix/intent_record.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "Kopf01/sxi/string00.h"
#include "hilfen/feedfix/settings.h"
#include "runtime/file_replace.h"

namespace {

const std::string k_name(k_intent_file);
constexpr std::string_view k_magic = "feedfix intent 2\n";
constexpr std::string_view k_end = "end\n";
// A record is a few hundred bytes; anything far larger is no record of ours.
constexpr std::size_t k_max_record = 16 * 1024;

template <typename T>
void put_number(std::string& out, T value) {
  out += std::to_string(value);
  out += ' ';
}

void put_state(std::string& out, std::string_view key, const FileState& s) {
  out += key;
  out += ' ';
  put_number(out, s.exists ? 1 : 0);
  put_number(out, s.id.volume);
  put_number(out, s.id.index);
  put_number(out, s.size);
  put_number(out, s.modified);
  put_number(out, s.changed);
  out.back() = '\n';
}

constexpr std::string_view k_methods[] = {"rename", "beside", "in-place"};

// The longest plot name a run opens, and the ranges of the settings it
// writes back: a record with other values is none of the tool's.
bool plausible(const Intent& intent) {
  return in_range(Settings{intent.pg_threshold, intent.carried_shift}) &&
         !intent.plot_name.empty() &&
         intent.plot_name.size() <= static_cast<std::size_t>(k_max_name_length) &&
         intent.plot_name.find('\0') == std::string::npos && intent.plot_before.exists &&
         intent.corrected.exists;
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
    s.modified = number<std::int64_t>(' ');
    s.changed = number<std::int64_t>('\n');
    return s;
  }
};

}  // namespace

std::string format_intent(const Intent& intent) {
  std::string out(k_magic);
  out += "method ";
  out += k_methods[static_cast<int>(intent.method)];
  out += '\n';
  out += "settings ";
  put_number(out, intent.pg_threshold);
  put_number(out, intent.carried_shift);
  out.back() = '\n';
  put_state(out, "before", intent.plot_before);
  put_state(out, "corrected", intent.corrected);
  put_state(out, "beside", intent.beside);
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
  r.take("method ");
  const std::string_view method = r.rest.substr(0, r.rest.find('\n'));
  const auto known = std::find(std::begin(k_methods), std::end(k_methods), method);
  if (!r.ok || known == std::end(k_methods)) return false;
  read.method = static_cast<ReplaceMethod>(known - std::begin(k_methods));
  r.rest.remove_prefix(method.size());
  r.take("\n");
  r.take("settings ");
  read.pg_threshold = r.number<std::int32_t>(' ');
  read.carried_shift = r.number<std::int32_t>('\n');
  read.plot_before = r.state("before");
  read.corrected = r.state("corrected");
  read.beside = r.state("beside");
  r.take("plot ");
  const std::size_t length = r.number<std::size_t>('\n');
  if (!r.ok || length == 0 || length > r.rest.size()) return false;
  read.plot_name.assign(r.rest.substr(0, length));
  r.rest.remove_prefix(length);
  r.take("\n");
  r.take(k_end);
  if (!r.ok || !r.rest.empty() || !plausible(read)) return false;
  intent = std::move(read);
  return true;
}

OsError write_intent(const Intent& intent) {
  const std::string record = format_intent(intent);
  // Written whole into a new private file of the run's own making, then
  // renamed over the record's name in one step (synced first: durable
  // before anything it names is touched): a stop leaves the old record or
  // the new one, and a link or another user's file under the name is
  // replaced, never written through (where the system allows; where not,
  // no record is written).
  OsError e = OsError::none;
  NewFile file = NewFile::own(k_name, e);
  if (e == OsError::none) e = os().write_file(file.handle(), record.data(), record.size());
  if (e == OsError::none) e = file.keep();
  return e;
}

IntentFound read_intent(Intent& intent) {
  // Only the running user's own private file is read; the open follows no
  // link and never waits on a pipe.
  const OpenResult opened = open_own(k_name);
  if (opened.error == OsError::file_not_found) return IntentFound::none;
  if (opened.error == OsError::access_denied) return IntentFound::foreign;
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

