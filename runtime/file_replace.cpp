// Replacing a file's contents, or a whole file, in one step where it may.
#include "runtime/file_replace.h"

#include <utility>

namespace {

/// Whether `target` still leads to the file `expected` describes (to none,
/// where `expected` describes none).
bool still_expected(const std::string& target, const FileState* expected) {
  if (expected == nullptr) return true;
  const FileState now = os().path_state(target);
  return expected->exists ? same_file_state(now, *expected) : !now.exists;
}

/// Rewrites the file `target` where it stands (the route in place) with the
/// bytes of `source` from its start: first emptied and set to its new size,
/// so that a copy stopped on the way leaves that size with zeros where it
/// has not reached, then copied and synced.
OsError copy_in_place(const std::string& source, const std::string& target) {
  const OpenResult from = os().open_file(source, Access::read, Create::must_exist);
  if (from.error != OsError::none) return from.error;
  const OpenResult to = os().open_file(target, Access::write, Create::must_exist);
  if (to.error != OsError::none) {
    (void)os().close_file(from.handle);  // Only read.
    return to.error;
  }
  OsError e = os().set_file_size(to.handle, 0);
  if (e == OsError::none) e = os().set_file_size(to.handle, os().file_state(from.handle).size);
  if (e == OsError::none) e = os().copy_data(from.handle, to.handle);
  if (e == OsError::none) e = os().sync_file(to.handle);
  const OsError closed = os().close_file(to.handle);
  if (e == OsError::none) e = closed;
  (void)os().close_file(from.handle);  // Only read.
  return e;
}

}  // namespace

bool own_file(const FileState& state) {
  return state.exists && state.regular && !state.link && state.mine && state.links == 1 &&
         !state.others_may_write;
}

OpenResult open_own(const std::string& name) {
  OpenResult r = os().open_file(name, Access::read, Create::exact);
  if (r.error == OsError::none && !own_file(os().file_state(r.handle))) {
    (void)os().close_file(r.handle);  // Only read.
    r = OpenResult{.error = OsError::access_denied};
  }
  return r;
}

OpenResult open_scratch(const std::string& name, const FileState& there, NewFile& side) {
  // Read-only means read-only, also for root; no file replaces a directory.
  if ((own_file(there) && !there.writable) || there.directory) {
    return OpenResult{.error = OsError::access_denied};
  }
  if (!there.exists || own_file(there)) {
    OpenResult r = os().open_file(name, Access::write, Create::exact_private);
    if (r.error != OsError::none) return r;
    const FileState opened = os().file_state(r.handle);
    // Still the file looked at, or the one just made; private from now on,
    // whatever bits an older one had.
    if (own_file(opened) && (r.created || opened.id == there.id)) {
      (void)os().make_private(r.handle);
      return r;
    }
    (void)os().close_file(r.handle);  // Never written.
    return OpenResult{.error = OsError::access_denied};
  }
  OpenResult r;
  side = NewFile::own(name, r.error);
  r.handle = side.handle();
  return r;
}

bool written_elsewhere(FileHandle file) {
  constexpr int k_settle_ms = 2000;
  const Writers writers = os().writers(file);
  if (writers != Writers::unknown) return writers == Writers::some;
  const FileState before = os().file_state(file);
  os().wait_quiet(file, k_settle_ms);
  return !before.exists || os().writers(file) == Writers::some ||
         !same_file_state(os().file_state(file), before);
}

void remove_stale_files(const std::string& name) {
  os().remove_stale_files(name, [](const FileState& state) {
    return state.exists && state.regular && !state.link && state.mine;
  });
}

Route choose_route(const RouteFacts& f) {
  const FileState& target = f.target;
  if (target.exists && (!target.regular || !target.writable)) return Route::refused;
  // A new file in its place would show: the old file has other names, or an
  // owner or group the user cannot give, or the system said no to one.
  if (f.new_file_refused || (target.exists && (target.links != 1 || !target.identity_givable))) {
    return target.exists ? Route::in_place : Route::refused;
  }
  if (own_file(f.ready) && (!target.exists || f.ready.id.volume == target.id.volume)) {
    return Route::rename;
  }
  return Route::beside;
}

NewFile::NewFile(NewFile&& other) noexcept
    : handle_(std::exchange(other.handle_, k_no_file)),
      temp_name_(std::move(other.temp_name_)),
      target_(std::move(other.target_)),
      target_exists_(other.target_exists_) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    discard();
    handle_ = std::exchange(other.handle_, k_no_file);
    temp_name_ = std::move(other.temp_name_);
    target_ = std::move(other.target_);
    target_exists_ = other.target_exists_;
  }
  return *this;
}

NewFile::~NewFile() { discard(); }

NewFile NewFile::beside(const std::string& name, OsError& error) {
  NewFile file;
  error = os().resolve_name(name, file.target_);
  if (error != OsError::none) return file;
  file.target_exists_ = os().path_state(file.target_).exists;
  const OpenResult created = os().create_beside(file.target_, /*own=*/false, file.temp_name_);
  error = created.error;
  if (error == OsError::none) file.handle_ = created.handle;
  return file;
}

NewFile NewFile::own(const std::string& name, OsError& error) {
  NewFile file;
  file.target_ = name;
  const OpenResult created = os().create_beside(name, /*own=*/true, file.temp_name_);
  error = created.error;
  if (error == OsError::none) file.handle_ = created.handle;
  return file;
}

OsError NewFile::keep(const FileState* expected) {
  if (!open()) return OsError::other;
  const FileHandle file = std::exchange(handle_, k_no_file);
  OsError e = target_exists_ ? os().adopt_identity(file, target_) : OsError::none;
  // The bytes reach the disk before the name does, and the target is
  // looked at after the last sync.
  if (e == OsError::none) e = os().sync_file(file);
  if (e == OsError::none && !still_expected(target_, expected)) e = OsError::changed;
  if (e != OsError::none) {
    os().discard_beside(file, temp_name_);
    return e;
  }
  return os().keep_beside(file, temp_name_, target_);
}

void NewFile::discard() {
  if (!open()) return;
  os().discard_beside(std::exchange(handle_, k_no_file), temp_name_);
}


OsError copy_over(const std::string& from, const std::string& to) {
  std::string target;
  if (const OsError e = os().resolve_name(to, target); e != OsError::none) return e;
  RouteFacts facts;
  facts.target = os().path_state(target);
  for (;;) {
    switch (choose_route(facts)) {
      case Route::in_place:
        return copy_in_place(from, target);
      case Route::rename:
      case Route::beside: {
        const OpenResult source = os().open_file(from, Access::read, Create::must_exist);
        if (source.error != OsError::none) return source.error;
        OsError e = OsError::none;
        NewFile fresh = NewFile::beside(target, e);
        if (e == OsError::none) e = os().copy_data(source.handle, fresh.handle());
        if (e == OsError::none) e = fresh.keep();
        (void)os().close_file(source.handle);  // Only read.
        if (e != OsError::access_denied || !facts.target.exists) return e;
        facts.new_file_refused = true;
        break;
      }
      case Route::refused:
        return OsError::access_denied;
    }
  }
}

OsError move_over(const std::string& from, const FileState& ready, const std::string& to,
                  const FileState* expected) {
  std::string target;
  if (const OsError e = os().resolve_name(to, target); e != OsError::none) return e;
  if (!still_expected(target, expected)) return OsError::changed;
  // Only the run's own file, with no other name, not followed as a link.
  const OpenResult file = open_own(from);
  if (file.error != OsError::none) return file.error;
  OsError e = os().file_state(file.handle).id == ready.id ? OsError::none : OsError::changed;
  if (e == OsError::none && os().path_state(target).exists) e = os().adopt_identity(file.handle, target);
  if (e == OsError::none) e = os().sync_file(file.handle);
  (void)os().close_file(file.handle);  // Only read; the sync has said what matters.
  if (e == OsError::none && !still_expected(target, expected)) e = OsError::changed;
  if (e != OsError::none) return e;
  return os().replace_name(from, target);
}
