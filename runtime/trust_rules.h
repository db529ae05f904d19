// Which links and which steps between owners a walk from a name to its file
// may take: the rules of the tool, written once, on the owners a backend
// finds (user ids; 0 is root). The POSIX backend walks every name by them;
// the Windows backend follows a link only by the first, as its own user's.
#pragma once

#include <cstdint>

using OwnerId = std::uint64_t;

/// A walk that stands in a directory or a link owned by `from` may pass to a
/// directory, link or file owned by `to` only where `from` is root or `to`
/// itself, or, for a run of an ordinary user, where either is the running
/// user `self`: never from one ordinary user's directory or link to someone
/// else's file.
inline bool safe_transition(OwnerId from, OwnerId to, OwnerId self) {
  if (from == 0 || from == to) return true;
  return self != 0 && (from == self || to == self);
}

/// Whether a link may be followed at all: the running user made it, or the
/// owner of the directory it stands in (in a directory that others may
/// write, a link of theirs must not choose the file this run acts on).
inline bool link_trusted(bool made_by_user, bool made_by_directory_owner) {
  return made_by_user || made_by_directory_owner;
}
