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
//
// Beside it, the other rules of the tool about files that others may
// share, written once on the backends' primitives: which file is the run's
// own, when a plot counts as being written, and which temporaries are stale.
#pragma once

#include <string>

#include "runtime/os.h"

/// The run's own file under a fixed name in a directory that others may
/// share (~ffx.log, the record): a regular file of the running user with
/// one name, which nobody else may write.
bool own_file(const FileState& state);
/// Opens the run's own file `name` for reading: the name itself, never
/// followed as a link; anything but an own file under it is refused
/// (access_denied).
OpenResult open_own(const std::string& name);
/// Whether another program holds the open file open for writing now, or has
/// written it since it was watched. Where the system cannot tell about
/// holders (a file of another owner), a file written within the last two
/// seconds is first given that long to settle, and any write meanwhile
/// counts: an exporter that pauses is not cut short.
bool written_elsewhere(FileHandle file);

/// Removes what runs that are gone left beside `name` (see
/// Os::remove_stale_files): only the running user's own regular files,
/// never another user's nor a link, whatever their names say.
void remove_stale_files(const std::string& name);

/// How a file's contents are replaced.
enum class Route {
  refused,   // not at all: the file is no plain file the user may write, or
             // nothing can be made where it would stand
  rename,    // a finished file of the run's own renamed over it
  beside,    // a new file made beside it, filled, synced and renamed over it
  in_place,  // the file itself rewritten where it stands
};

/// What the run knows when it replaces a file.
struct RouteFacts {
  FileState target;  // the file to be replaced; exists false where none stands yet
  FileState ready;   // a finished, synced file with all of the new contents that
                     // may itself take the target's place (exists false: none)
  bool new_file_refused = false;  // the system refused a new file beside the
                                  // target, or the target's identity for it
};

/// The one decision of how a file is replaced (the run's own fixed names,
/// the record and ~ffx.log, always take a new private file: NewFile::own).
/// A writer asks again with
/// what it learned where the system says no to the route given (a rename
/// refused: `ready` cleared; a new file refused: `new_file_refused`).
Route choose_route(const RouteFacts& facts);

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

  /// A new file to take the place of the file `name` leads to (the route
  /// beside, chosen by the caller). access_denied: the directory takes no
  /// new file.
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
  /// without; an `expected` that does not exist: while no file stands
  /// there). On failure the target is as it was and the new file gone.
  OsError keep(const FileState* expected = nullptr);
  /// Drops the new file; the target is untouched.
  void discard();

 private:
  FileHandle handle_ = k_no_file;
  std::string temp_name_;
  std::string target_;
  bool target_exists_ = false;
};

/// Opens the run's own scratch file `name` (which stands as `there`) for
/// writing. The user's own file is used where it stands, private from then
/// on; one of the user's own that nobody may write is refused
/// (access_denied) and left as it is; where nothing stands, a private file
/// is made. Anything else under the name (a link, another user's file, one
/// that others may write or that has other names, a special file) is never
/// written:
/// `side` receives a new private file that takes the name when it is kept.
OpenResult open_scratch(const std::string& name, const FileState& there, NewFile& side);

/// Replaces the whole content of the file `to` leads to (creating it where
/// missing) by that of `from`, by the route beside or in place. A read-only
/// or special `to` fails with access_denied.
OsError copy_over(const std::string& from, const std::string& to);

/// The route rename: puts the closed file `from`, the running user's private
/// file with one name and the identity `ready`, in place of the file `to`
/// leads to. `from` takes `to`'s owner, group, bits and attributes, is
/// synced, and is renamed only while `to` is still `expected` (changed if
/// not). On failure `to` is as it was.
OsError move_over(const std::string& from, const FileState& ready, const std::string& to,
                  const FileState* expected);
