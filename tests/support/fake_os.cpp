// In-memory Os for tests.
#include "tests/support/fake_os.h"

#include <algorithm>
#include <cstring>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/record_file.h"
#include "runtime/test_seam.h"
#include "tests/support/tool_files.h"

// The system's workers, as the POSIX backend starts them.

namespace {
// Whether the calling thread is one that start_worker gave.
thread_local bool t_on_worker = false;
}  // namespace

void FakeOs::fail_next(const std::string& operation, const std::string& name, OsError error) {
  const std::lock_guard hold(lock_.mutex);
  next_failures_.push_back({operation, name, error});
}

void FakeOs::fail_nth(const std::string& operation, const std::string& name, std::size_t n,
                      OsError error) {
  const std::lock_guard hold(lock_.mutex);
  if (n > 0) counted_failures_.push_back({operation, name, n, error});
}

void FakeOs::fail_call(std::size_t index, OsError error) { indexed_failures_[index] = error; }

std::vector<std::string> FakeOs::open_files() const {
  const std::lock_guard hold(lock_.mutex);
  std::vector<std::string> names;
  for (const auto& [handle, file] : open_) names.push_back(file.name);
  return names;
}

FakeOs::Meta& FakeOs::meta(const std::string& name) {
  const std::lock_guard hold(lock_.mutex);
  Meta& m = meta_[name];
  if (m.id == 0) m.id = next_id_++;
  return m;
}

void FakeOs::renew(const std::string& name) {
  const std::lock_guard hold(lock_.mutex);
  meta_[name] = Meta{next_id_++, ++clock_};
}

void FakeOs::touch(const std::string& name) { meta(name).modified = ++clock_; }

void FakeOs::wrote(FileHandle by) {
  const std::string& name = open_.at(by).name;
  touch(name);
  for (auto& [handle, seen] : watched_) {
    const auto other = open_.find(handle);
    if (handle != by && other != open_.end() && other->second.name == name) seen = true;
  }
}

std::string FakeOs::followed(const std::string& name) const {
  std::string at = name;
  // A loop of links ends somewhere, as the system's walk does.
  for (int n = 0; n < 40; ++n) {
    const auto link = links.find(at);
    if (link == links.end()) break;
    at = link->second;
  }
  return at;
}

std::uint64_t FakeOs::volume(const std::string& name) const {
  return no_moves && name == k_temp ? 2u : 1u;
}

void FakeOs::rewritten_elsewhere(const std::string& name, const std::string& bytes) {
  const std::lock_guard hold(lock_.mutex);
  files[name] = bytes;
  touch(name);
}

void FakeOs::replaced_elsewhere(const std::string& name, const std::string& bytes) {
  const std::lock_guard hold(lock_.mutex);
  files[name] = bytes;
  renew(name);
}

void FakeOs::power_loss_at_call(std::size_t index, Unsynced unsynced) {
  const std::lock_guard hold(lock_.mutex);
  stop_at_ = index;
  tracking_ = true;
  unsynced_ = unsynced;
  durable_.clear();
  for (const auto& [name, content] : files) durable_[name] = Durable{content, meta(name)};
}

void FakeOs::made(const std::string& name) {
  const std::lock_guard hold(lock_.mutex);
  if (tracking_) durable_[name] = Durable{"", meta(name), /*unsynced_new=*/true};
}

void FakeOs::renamed(const std::string& from, const std::string& to) {
  const std::lock_guard hold(lock_.mutex);
  if (!tracking_) return;
  // The rename reaches the disk, the bytes only as far as they were synced.
  auto it = durable_.find(from);
  Durable moved = it != durable_.end() ? it->second : Durable{"", meta(from)};
  moved.unsynced_new = false;
  if (it != durable_.end()) durable_.erase(it);
  durable_[to] = moved;
}

void FakeOs::lose_power() {
  const std::lock_guard hold(lock_.mutex);
  files.clear();
  meta_.clear();
  for (const auto& [name, survived] : durable_) {
    // A file of create_beside has no name on the disk until it is kept.
    if (uncommitted.count(name) != 0) continue;
    if (survived.unsynced_new && unsynced_ == Unsynced::gone) continue;
    files[name] = survived.content;
    meta_[name] = survived.meta;
  }
  tracking_ = false;
  durable_.clear();
}

OsError FakeOs::planned(const std::string& operation, const std::string& name) {
  const std::lock_guard hold(lock_.mutex);
  calls.push_back(operation + " " + name);
  if (calls.size() == stop_at_ || stopping_) {
    // A worker cannot end the process: its call fails, without effect, and
    // the main thread's next call ends it.
    if (t_on_worker) {
      stopping_ = true;
      return OsError::io_error;
    }
    stopping_ = false;
    // The process ends here: handles go, files without a name go with them.
    open_.clear();
    watched_.clear();
    for (const std::string& temp : uncommitted) files.erase(temp);
    if (tracking_) lose_power();
    uncommitted.clear();
    throw StopSignal{};
  }
  if (calls.size() == change_at_ && change_) {
    const std::function<void(FakeOs&)> change = std::move(change_);
    change_ = nullptr;
    change(*this);
  }
  if (auto it = indexed_failures_.find(calls.size()); it != indexed_failures_.end()) {
    return it->second;
  }
  OsError counted = OsError::none;
  for (auto it = counted_failures_.begin(); it != counted_failures_.end();) {
    if (it->operation == operation && (it->name.empty() || it->name == name) &&
        --it->remaining == 0) {
      if (counted == OsError::none) counted = it->error;
      it = counted_failures_.erase(it);
    } else {
      ++it;
    }
  }
  if (counted != OsError::none) return counted;
  for (auto it = next_failures_.begin(); it != next_failures_.end(); ++it) {
    if (it->operation == operation && (it->name.empty() || it->name == name)) {
      const OsError error = it->error;
      next_failures_.erase(it);
      return error;
    }
  }
  return OsError::none;
}

OpenResult FakeOs::open_file(const std::string& given, Access access, Create create) {
  const std::lock_guard hold(lock_.mutex);
  OpenResult result;
  if (const OsError e = planned("open", given); e != OsError::none) {
    result.error = e;
    return result;
  }
  if (given.empty()) {
    result.error = OsError::file_not_found;
    return result;
  }
  // The name itself is never followed by an exact open; a plain open goes
  // where links lead.
  const bool exact = create == Create::exact || create == Create::exact_private;
  const std::string name = exact ? given : followed(given);
  if (directories.count(name) != 0 || (exact && links.count(name) != 0)) {
    result.error = OsError::access_denied;
    return result;
  }
  const bool exists = files.count(name) != 0;
  if (!exists && (create == Create::must_exist || create == Create::exact)) {
    result.error = OsError::file_not_found;
    return result;
  }
  if (exists && access == Access::write && read_only.count(name) != 0) {
    result.error = OsError::access_denied;
    return result;
  }
  if (!exists && no_new_files) {
    result.error = OsError::access_denied;
    return result;
  }
  if (!exists) {
    files[name];
    renew(name);
    made(name);
    result.created = true;
  }
  result.error = OsError::none;
  result.handle = next_handle_++;
  open_[result.handle] = Open{name, access, 0, meta(name).id};
  return result;
}

ReadResult FakeOs::read_file(FileHandle file, char* buffer, std::size_t size) {
  const std::lock_guard hold(lock_.mutex);
  ReadResult result;
  auto it = open_.find(file);
  if (it == open_.end()) {
    result.error = OsError::other;
    return result;
  }
  if (const OsError e = planned("read", it->second.name); e != OsError::none) {
    result.error = e;
    return result;
  }
  const std::string& content = files[it->second.name];
  const std::size_t pos = std::min(it->second.pos, content.size());
  const std::size_t n = std::min({size, content.size() - pos, read_chunk});
  if (n > 0) std::memcpy(buffer, content.data() + pos, n);
  it->second.pos = pos + n;
  result.count = n;
  return result;
}

void FakeOs::hold_writes(bool hold) {
  const std::lock_guard gate(write_gate_.mutex);
  write_gate_.held = hold;
  write_gate_.opened.notify_all();
}

OsError FakeOs::write_file(FileHandle file, const char* data, std::size_t size) {
  {
    std::unique_lock gate(write_gate_.mutex);
    write_gate_.opened.wait(gate, [this] { return !write_gate_.held; });
  }
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end() || it->second.access != Access::write) return OsError::access_denied;
  std::string& content = files[it->second.name];
  if (const OsError e = planned("write", it->second.name); e != OsError::none) {
    if (!tear_failed_writes) return e;
    size /= 2;
    if (content.size() < it->second.pos) content.resize(it->second.pos);
    content.replace(it->second.pos, std::min(size, content.size() - it->second.pos), data, size);
    it->second.pos += size;
    wrote(file);
    return e;
  }
  wrote(file);
  if (content.size() < it->second.pos) content.resize(it->second.pos);
  content.replace(it->second.pos, std::min(size, content.size() - it->second.pos), data, size);
  it->second.pos += size;
  return OsError::none;
}

OsError FakeOs::truncate_file(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end() || it->second.access != Access::write) return OsError::access_denied;
  if (const OsError e = planned("truncate", it->second.name); e != OsError::none) return e;
  std::string& content = files[it->second.name];
  content.resize(std::min(content.size(), it->second.pos));
  wrote(file);
  return OsError::none;
}

OsError FakeOs::close_file(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end()) return OsError::other;
  const std::string name = it->second.name;
  open_.erase(it);
  watched_.erase(file);
  return planned("close", name);
}

FileId FakeOs::file_id(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  return file_state(file).id;
}

FileState FakeOs::file_state(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end()) return {};
  // The file the handle's name holds now, but always the identity opened:
  // a file put under the name since is not the open one.
  FileState state = path_state(it->second.name);
  if (state.exists) state.id.index = it->second.index;
  return state;
}

Writers FakeOs::writers(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end()) return Writers::none;
  if (written_by_others.count(it->second.name) != 0) return Writers::some;
  if (const auto watch = watched_.find(file); watch != watched_.end() && watch->second) {
    return Writers::some;
  }
  // Held open for writing through another handle now.
  const bool held = std::any_of(open_.begin(), open_.end(), [&](const auto& other) {
    return other.first != file && other.second.name == it->second.name &&
           other.second.access == Access::write;
  });
  return held ? Writers::some : Writers::none;
}

void FakeOs::wait_quiet(FileHandle /*file*/, int /*ms*/) {}

FileState FakeOs::path_state(const std::string& given) {
  const std::lock_guard hold(lock_.mutex);
  const std::string name = followed(given);
  auto it = files.find(name);
  FileState state;
  if (it == files.end()) {
    state.exists = state.directory = directories.count(name) != 0;
    return state;
  }
  const Meta& m = meta(name);
  state.exists = true;
  // ~ffx.log on a volume of its own, where it cannot be renamed.
  state.id = FileId{volume(name), m.id};
  state.size = it->second.size();
  state.modified = m.modified;
  state.changed = m.modified;
  state.links = 1;
  state.regular = true;
  state.mine = foreign.count(name) == 0;
  state.writable = read_only.count(name) == 0;
  state.identity_givable = keep_identity.count(name) == 0;
  return state;
}

FileState FakeOs::name_state(const std::string& name) {
  const std::lock_guard hold(lock_.mutex);
  if (links.count(name) == 0) return path_state(name);
  FileState state;
  state.exists = true;
  state.id = FileId{volume(name), meta(name).id};
  state.links = 1;
  state.link = true;
  state.mine = foreign.count(name) == 0;
  state.identity_givable = true;
  return state;
}

void FakeOs::watch_writes(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  if (open_.count(file) != 0) watched_[file] = false;
}

OsError FakeOs::sync_file(FileHandle file) {
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end()) return OsError::other;
  const std::string& name = it->second.name;
  if (const OsError e = planned("sync", name); e != OsError::none) return e;
  if (tracking_) durable_[name] = Durable{files[name], meta(name)};
  return OsError::none;
}

OsError FakeOs::remove_file(const std::string& name) {
  const std::lock_guard hold(lock_.mutex);
  if (const OsError e = planned("remove", name); e != OsError::none) return e;
  if (links.erase(name) != 0) {  // the link itself
    meta_.erase(name);
    return OsError::none;
  }
  if (directories.count(name) != 0) return OsError::access_denied;
  if (files.count(name) == 0) return OsError::file_not_found;
  if (read_only.count(name) != 0) return OsError::access_denied;
  files.erase(name);
  meta_.erase(name);
  durable_.erase(name);
  return OsError::none;
}

OsError FakeOs::resolve_name(const std::string& name, std::string& target) {
  const std::lock_guard hold(lock_.mutex);
  target = followed(name);
  return OsError::none;
}

OsError FakeOs::set_file_size(FileHandle file, std::uint64_t size) {
  const std::lock_guard hold(lock_.mutex);
  auto it = open_.find(file);
  if (it == open_.end() || it->second.access != Access::write) return OsError::access_denied;
  if (const OsError e = planned("size", it->second.name); e != OsError::none) return e;
  files[it->second.name].resize(size, '\0');
  wrote(file);
  return OsError::none;
}

OsError FakeOs::copy_data(FileHandle from, FileHandle to) {
  const std::lock_guard hold(lock_.mutex);
  auto source = open_.find(from);
  auto target = open_.find(to);
  if (source == open_.end() || target == open_.end() || target->second.access != Access::write) {
    return OsError::other;
  }
  if (const OsError e = planned("copy", target->second.name); e != OsError::none) return e;
  const std::string& content = files[source->second.name];
  const std::string rest = content.substr(std::min(source->second.pos, content.size()));
  source->second.pos = content.size();
  std::string& out = files[target->second.name];
  if (out.size() < target->second.pos) out.resize(target->second.pos);
  out.replace(target->second.pos, std::min(rest.size(), out.size() - target->second.pos), rest);
  target->second.pos += rest.size();
  wrote(to);
  return OsError::none;
}

OsError FakeOs::adopt_identity(FileHandle file, const std::string& of) {
  const std::lock_guard hold(lock_.mutex);
  if (open_.count(file) == 0) return OsError::other;
  if (const OsError e = planned("adopt", of); e != OsError::none) return e;
  const std::string source = followed(of);
  if (files.count(source) == 0) return OsError::file_not_found;
  if (keep_identity.count(source) != 0) return OsError::access_denied;
  // Another user's owner goes with the file to whatever name it takes.
  if (foreign.count(source) != 0) foreign.insert(open_.at(file).name);
  return OsError::none;
}

void FakeOs::move_name(const std::string& from, const std::string& to) {
  const std::lock_guard hold(lock_.mutex);
  renamed(from, to);
  files[to] = files[from];
  meta_[to] = meta(from);
  // The name is the file's now, with its owner; a link there is gone.
  links.erase(to);
  if (foreign.erase(from) != 0) {
    foreign.insert(to);
  } else {
    foreign.erase(to);
  }
  files.erase(from);
  meta_.erase(from);
}

OsError FakeOs::rename_no_replace(const std::string& from, const std::string& to) {
  const std::lock_guard hold(lock_.mutex);
  if (const OsError e = planned("rename", from); e != OsError::none) return e;
  if (files.count(from) == 0) return OsError::file_not_found;
  if (files.count(to) != 0 || links.count(to) != 0) return OsError::already_exists;
  if (no_new_files) return OsError::access_denied;
  if (volume(from) != volume(to)) return OsError::other;
  move_name(from, to);
  return OsError::none;
}

OsError FakeOs::replace_name(const std::string& from, const std::string& to) {
  const std::lock_guard hold(lock_.mutex);
  if (const OsError e = planned("rename", to); e != OsError::none) return e;
  if (files.count(from) == 0) return OsError::file_not_found;
  if (directories.count(to) != 0 || no_new_files) return OsError::access_denied;
  if (volume(from) != volume(to)) return OsError::other;
  move_name(from, to);
  return OsError::none;
}

OpenResult FakeOs::create_beside(const std::string& name, bool /*own*/, std::string& temp_name) {
  const std::lock_guard hold(lock_.mutex);
  OpenResult result;
  if (const OsError e = planned("create", name); e != OsError::none) {
    result.error = e;
    return result;
  }
  if (no_new_files) {
    result.error = OsError::access_denied;
    return result;
  }
  for (int n = 0;; ++n) {
    temp_name = name + ".new" + std::to_string(n);
    if (files.count(temp_name) == 0 && directories.count(temp_name) == 0) break;
  }
  files[temp_name];
  renew(temp_name);
  made(temp_name);
  uncommitted.insert(temp_name);
  result.error = OsError::none;
  result.created = true;
  result.handle = next_handle_++;
  open_[result.handle] = Open{temp_name, Access::write, 0, meta(temp_name).id};
  return result;
}

OsError FakeOs::keep_beside(FileHandle file, const std::string& temp_name,
                           const std::string& target) {
  const std::lock_guard hold(lock_.mutex);
  open_.erase(file);
  OsError e = planned("replace", target);
  if (e == OsError::none && files.count(temp_name) == 0) e = OsError::file_not_found;
  if (e == OsError::none && directories.count(target) != 0) e = OsError::access_denied;
  uncommitted.erase(temp_name);
  if (e != OsError::none) {
    files.erase(temp_name);
    meta_.erase(temp_name);
    durable_.erase(temp_name);
    return e;
  }
  // Read-only marks, like permission bits, belong to the name that is replaced.
  move_name(temp_name, target);
  return OsError::none;
}

void FakeOs::discard_beside(FileHandle file, const std::string& temp_name) {
  const std::lock_guard hold(lock_.mutex);
  open_.erase(file);
  files.erase(temp_name);
  meta_.erase(temp_name);
  durable_.erase(temp_name);
  uncommitted.erase(temp_name);
}

OsError FakeOs::lock_current_directory(int /*wait_ms*/, LockHolder& /*holder*/) {
  const OsError e = planned("lock", ".");
  directory_locked = e == OsError::none;
  return e;
}

void FakeOs::unlock_current_directory() { directory_locked = false; }

OsError FakeOs::lock_file(const std::string& name, int wait_ms, FileId& locked,
                          LockHolder& /*holder*/) {
  const std::lock_guard hold(lock_.mutex);
  if (const OsError e = planned("lock", name); e != OsError::none) return e;
  if (files.count(followed(name)) == 0) return OsError::file_not_found;
  if (wait_ms != 0 && directory_locked) waited_holding_directory = true;
  if (wait_ms != 0 && lock_busy > 0 && while_waiting) while_waiting(*this);
  if (wait_ms >= 0 && lock_busy > 0) {
    --lock_busy;
    return OsError::busy;
  }
  locked = path_state(name).id;
  return OsError::none;
}

void FakeOs::remove_stale_files(const std::string& /*name*/,
                                bool (*removable)(const FileState&)) {
  const std::lock_guard hold(lock_.mutex);
  // Files of stopped runs vanish with them here (see stop_at_call); only
  // those planted as stale are left over from runs before.
  for (auto it = stale.begin(); it != stale.end();) {
    if (!removable(name_state(*it))) {
      ++it;
      continue;
    }
    files.erase(*it);
    meta_.erase(*it);
    it = stale.erase(it);
  }
}

OsError FakeOs::write_stdout(const char* data, std::size_t size) {
  const std::lock_guard hold(lock_.mutex);
  out_tried.append(data, size);
  if (const OsError e = planned("stdout", ""); e != OsError::none) return e;
  out.append(data, size);
  return OsError::none;
}

OsError FakeOs::write_stderr(const char* data, std::size_t size) {
  const std::lock_guard hold(lock_.mutex);
  err.append(data, size);
  return OsError::none;
}

bool FakeOs::read_stdin_line(std::string& line) {
  const std::lock_guard hold(lock_.mutex);
  if (stdin_lines.empty()) return false;
  line = stdin_lines.front();
  stdin_lines.pop_front();
  return true;
}

void FakeOs::run_command(const std::string& command) { commands.push_back(command); }

std::vector<std::string> FakeOs::arguments() { return args; }

void FakeOs::exit_process(int status) { throw ProcessExit{status}; }

namespace {

struct WorkOfFake {
  WorkFunction work;
  void* context;
};

void run_work_of_fake(void* context, Worker& worker) {
  const std::unique_ptr<WorkOfFake> given(static_cast<WorkOfFake*>(context));
  t_on_worker = true;
  given->work(given->context, worker);
}

}  // namespace

std::unique_ptr<Worker> FakeOs::start_worker(WorkFunction work, void* context) {
  if (!threads) return nullptr;
  auto given = std::make_unique<WorkOfFake>(WorkOfFake{work, context});
  std::unique_ptr<Worker> worker = start_thread_worker(&run_work_of_fake, given.get());
  if (worker != nullptr) (void)given.release();  // the worker's now
  return worker;
}

FakeOsScope::FakeOsScope(FakeOs& fake) {
  set_os(&fake);
  reset_console();
  reset_units();
  load_arguments();
}

FakeOsScope::~FakeOsScope() {
  // Units left open by a test that ended through ProcessExit are dropped
  // without touching the fake again.
  reset_units();
  reset_console();
  set_os(nullptr);
}
