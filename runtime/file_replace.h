// Replacing a file's contents, or a whole file, so that its name never
// leads to half of either: the one place that decides how, above the
// operating-system seam.
//
// The rule: new contents go into a new file beside the old one, which is
// synced and then renamed over it in one step; only where no new file can
// take the old one's place without showing it (the directory takes no new
// file, the old file has other names, or an owner or group the user cannot
// give) is the old file rewritten where it stands. A rename is made only
// while the target is still the file the caller expects, checked after
// every sync, right before the rename.
#pragma once

#include <string>

#include "runtime/os.h"

/// A new file beside a target, to take its place (keep) or to go (discard);
/// one that is neither kept nor discarded goes when the value does.
class NewFile {
 public:
  NewFile() = default;
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&& other) noexcept;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile();

  /// A new file to take the place of the file `name` leads to. access_denied
  /// where none can take it without showing (see above): the caller then
  /// rewrites the old file in place, or gives up.
  static NewFile beside(const std::string& name, OsError& error);
  /// A new private file to take the place of the run's own file under the
  /// fixed name `name` in the current directory: the name is never
  /// followed, whatever stands under it is replaced, and nothing is taken
  /// from it. Its temporary name is of the system's making, so nobody can
  /// occupy it first.
  static NewFile own(const std::string& name, OsError& error);

  /// The open file, for writing its bytes.
  FileHandle handle() const { return handle_; }
  bool open() const { return handle_ != k_no_file; }

  /// Puts the new file in place of its target: the target's owner, group,
  /// bits and attributes given to it, synced, and renamed over the target
  /// while the target is still `expected` (changed if not; no check
  /// without). On failure the target is as it was and the new file gone.
  OsError keep(const FileState* expected = nullptr);
  /// Drops the new file; the target is untouched.
  void discard();

 private:
  FileHandle handle_ = k_no_file;
  std::string temp_name_;
  std::string target_;
  bool target_exists_ = false;
};

/// Whether the file `state` describes can be replaced by a new file with
/// nothing to tell the difference: a writable plain file with one name,
/// whose owner and group the user can give.
bool replaceable_by_new_file(const FileState& state);

/// Replaces the whole content of the file `to` leads to (creating it where
/// missing) by that of `from`: through a new file beside it where it may,
/// all or nothing; else in place, the file first emptied and set to its new
/// size, so that a copy stopped on the way leaves that size with zeros where
/// it has not reached. A read-only or special `to` fails with access_denied.
OsError copy_over(const std::string& from, const std::string& to);

/// Puts the closed file `from` in place of the file `to` leads to by renaming
/// it, where that is one step and nothing can tell it from a rewrite: both
/// on one volume, `from` the running user's private file with one name, `to`
/// replaceable by a new file. `from` takes `to`'s owner, group, bits and
/// attributes, is synced, and is renamed only while `to` is still `expected`
/// (changed if not). Anything else fails with `to` as it was (other, or
/// access_denied for a `to` nobody may write): the caller copies instead.
OsError move_over(const std::string& from, const std::string& to, const FileState* expected);
