// Replacing a file's contents, or a whole file, in one step where it may.
#include "runtime/file_replace.h"

#include <utility>

namespace {

/// Rewrites the file `target` where it stands with the bytes of the open
/// `source` from its start: emptied, set to the new size, copied, synced.
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

/// Whether `target` still leads to the file `expected` describes.
bool still_expected(const std::string& target, const FileState* expected) {
  return expected == nullptr || same_file_state(os().path_state(target), *expected);
}

}  // namespace

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
  const FileState state = os().path_state(file.target_);
  file.target_exists_ = state.exists;
  if (state.exists && !replaceable_by_new_file(state)) {
    error = OsError::access_denied;
    return file;
  }
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

bool replaceable_by_new_file(const FileState& state) {
  return state.regular && state.writable && state.links == 1 && state.identity_givable;
}

OsError copy_over(const std::string& from, const std::string& to) {
  std::string target;
  if (const OsError e = os().resolve_name(to, target); e != OsError::none) return e;
  const FileState state = os().path_state(target);
  if (state.exists && (!state.regular || !state.writable)) return OsError::access_denied;
  const OpenResult source = os().open_file(from, Access::read, Create::must_exist);
  if (source.error != OsError::none) return source.error;
  OsError e = OsError::none;
  NewFile fresh = NewFile::beside(target, e);
  if (e == OsError::none) e = os().copy_data(source.handle, fresh.handle());
  if (e == OsError::none) e = fresh.keep();
  (void)os().close_file(source.handle);  // Only read.
  // No new file can take its place without showing (attributes that cannot
  // be given among it): the file is rewritten where it stands.
  if (e == OsError::access_denied && state.exists) e = copy_in_place(from, target);
  return e;
}

OsError move_over(const std::string& from, const std::string& to, const FileState* expected) {
  std::string target;
  if (const OsError e = os().resolve_name(to, target); e != OsError::none) return e;
  const FileState state = os().path_state(target);
  if (state.exists) {
    if (!state.regular || !state.writable) return OsError::access_denied;
    // Another name of the old file, or an owner that cannot be given, would
    // show the swap.
    if (!replaceable_by_new_file(state)) return OsError::other;
  }
  if (!still_expected(target, expected)) return OsError::changed;
  // Only the run's own file, with no other name, not followed as a link.
  const OpenResult file = os().open_file(from, Access::read, Create::own_file);
  if (file.error != OsError::none) return OsError::other;
  OsError e = OsError::none;
  if (state.exists && os().file_state(file.handle).id.volume != state.id.volume) e = OsError::other;
  if (e == OsError::none && state.exists) {
    e = os().adopt_identity(file.handle, target);
    if (e == OsError::access_denied) e = OsError::other;
  }
  if (e == OsError::none) e = os().sync_file(file.handle);
  (void)os().close_file(file.handle);  // Only read; the sync has said what matters.
  if (e == OsError::none && !still_expected(target, expected)) e = OsError::changed;
  if (e != OsError::none) return e;
  return os().replace_name(from, target);
}
