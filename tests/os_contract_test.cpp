// The operating-system primitives as the tool relies on them, run through
// the in-memory FakeOs and the real backend alike, so that the fake the
// other tests stand on cannot drift from the system it stands in for. Each
// switch of the fake has a case here that sets it on the fake and makes the
// situation it stands for on the real system.
#include "runtime/os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "runtime/file_replace.h"
#include "runtime/test_seam.h"

#define CONTRACT_EQ(a, b) EXPECT_EQ(a, b)
#define CONTRACT_TRUE(c) EXPECT_TRUE(c)
#define CONTRACT_FALSE(c) EXPECT_FALSE(c)
#define CONTRACT_REQUIRE_EQ(a, b) ASSERT_EQ(a, b)
#define CONTRACT_TRACE(text) SCOPED_TRACE(text)
#include "tests/os_contract_cases.h"
#include "tests/support/fake_os.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/tool_files.h"

namespace {

namespace fs = std::filesystem;

/// FakeOs: names are plain keys of its file map. Each set-up returns why it
/// cannot be made, or nullptr.
struct FakeBackend {
  FakeOs fake;
  Os& os() { return fake; }
  std::string name(const std::string& n) const { return n; }
  void put(const std::string& n, const std::string& bytes) { fake.files[n] = bytes; }
  std::optional<std::string> read(const std::string& n) const {
    const auto it = fake.files.find(n);
    if (it == fake.files.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& [n, bytes] : fake.files) all.push_back(n);
    return all;
  }
  bool only_owner_may_access(const std::string&) const { return true; }
  std::optional<unsigned> bits(const std::string&) const { return std::nullopt; }
  void set_bits(const std::string&, unsigned) {}
  void directory(const std::string& n) { fake.directories.insert(n); }
  void link(const std::string& n, const std::string& to) { fake.links[n] = to; }
  // The fake knows no second names nor bits: such a file is no own file.
  void second_name(const std::string& n, const std::string& other) {
    put(other, fake.files[n]);
    fake.foreign.insert(other);
  }
  void others_may_write(const std::string& n) { fake.foreign.insert(n); }
  void read_only(const std::string& n) { fake.read_only.insert(n); }
  std::string stale_temp(const std::string& target, bool gone, char tag) {
    const std::string n = target + ".new" + tag;
    put(n, "x");
    if (gone) fake.stale.insert(n);
    return n;
  }
  void hold_lock(const std::string& n) { fake.fail_next("lock", n, OsError::busy); }
  void release_lock() {}
  bool others_may_lock_directory() const { return !fake.directory_locked; }
  // The switches.
  const char* give_away(const std::string& n) {
    fake.foreign.insert(n);
    return nullptr;
  }
  const char* not_givable(std::string& n) {
    put(n, "theirs");
    fake.keep_identity.insert(n);
    return nullptr;
  }
  const char* elsewhere(const std::string& n) {
    fake.no_moves = true;
    return n == k_temp ? nullptr : "the fake has ~ffx.log alone elsewhere";
  }
  const char* no_new_files() {
    fake.no_new_files = true;
    return nullptr;
  }
  void written_by_another(const std::string& n) { fake.written_by_others.insert(n); }
};

/// The real backend, in a scratch directory of its own; an absolute name
/// stands for itself.
struct NativeBackend {
  ScratchDir scratch;
  std::optional<ScratchDir> other_volume;
  std::vector<std::string> moved;  // names in other_volume
  int lock_holder = -1;
  pid_t writer = -1;
  int writer_pipe = -1;

  ~NativeBackend() {
    fs::permissions(scratch.path(), fs::perms::owner_all, fs::perm_options::replace);
    release_lock();
    if (writer > 0) {
      ::close(writer_pipe);
      ::waitpid(writer, nullptr, 0);
    }
  }
  Os& os() { return native_os(0, nullptr); }
  const ScratchDir& dir(const std::string& n) const {
    return std::count(moved.begin(), moved.end(), n) != 0 ? *other_volume : scratch;
  }
  std::string name(const std::string& n) const { return n.starts_with('/') ? n : dir(n).file(n); }
  void put(const std::string& n, const std::string& bytes) { dir(n).write(n, bytes); }
  std::optional<std::string> read(const std::string& n) const { return dir(n).read(n); }
  std::vector<std::string> names() const { return scratch.names(); }
  bool only_owner_may_access(const std::string& n) const { return (*bits(n) & 077) == 0; }
  std::optional<unsigned> bits(const std::string& n) const {
    struct stat st {};
    if (::stat(name(n).c_str(), &st) != 0) return std::nullopt;
    return st.st_mode & 07777;
  }
  void set_bits(const std::string& n, unsigned mode) { ::chmod(name(n).c_str(), mode); }
  void directory(const std::string& n) { fs::create_directory(name(n)); }
  void link(const std::string& n, const std::string& to) { fs::create_symlink(to, name(n)); }
  void second_name(const std::string& n, const std::string& other) {
    fs::create_hard_link(name(n), name(other));
  }
  void others_may_write(const std::string& n) { set_bits(n, 0660); }
  void read_only(const std::string& n) { set_bits(n, 0400); }
  std::string stale_temp(const std::string& target, bool gone, char tag) {
    static const pid_t gone_pid = [] {
      // A process id that is surely gone: a child that has been waited for.
      const pid_t child = ::fork();
      if (child == 0) ::_exit(0);
      ::waitpid(child, nullptr, 0);
      return child;
    }();
    std::string n = "." + target;
    n.append(".ffx").append(posix_temp_site()).append("-");
    n.append(std::to_string(gone ? gone_pid : ::getppid())).append("-0").append(1, tag);
    put(n, "x");
    return n;
  }
  // A second holder of the lock: the system's lock is per open file.
  void hold_lock(const std::string& n) {
    lock_holder = ::open(n == "." ? "." : name(n).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(0, ::flock(lock_holder, LOCK_EX | LOCK_NB));
  }
  void release_lock() {
    if (lock_holder >= 0) ::close(lock_holder);
    lock_holder = -1;
  }
  bool others_may_lock_directory() const {
    const int fd = ::open(".", O_RDONLY | O_CLOEXEC);
    const bool got = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);  // and the lock with it
    return got;
  }
  // The switches.
  const char* give_away(const std::string& n) {
    if (::geteuid() != 0) return "only root can give a file to another user";
    return ::chown(name(n).c_str(), 65534, 65534) == 0 ? nullptr : "chown failed";
  }
  const char* not_givable(std::string& n) {
    if (::geteuid() == 0) return "root can give any owner and group";
    // A file of the system's, which no ordinary user can give a new file.
    n = "/etc/passwd";
    struct stat st {};
    return ::stat(n.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid != ::geteuid()
               ? nullptr
               : "no file of another owner found";
  }
  const char* elsewhere(const std::string& n) {
    struct stat here {};
    struct stat there {};
    if (::stat("/dev/shm", &there) != 0 || ::stat(scratch.path().c_str(), &here) != 0 ||
        here.st_dev == there.st_dev) {
      return "no other file system in /dev/shm";
    }
    other_volume.emplace("/dev/shm");
    moved.push_back(n);
    return nullptr;
  }
  const char* no_new_files() {
    fs::permissions(scratch.path(), fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::replace);
    if (!std::ofstream(scratch.file("probe")).good()) return nullptr;
    fs::remove(scratch.file("probe"));
    fs::permissions(scratch.path(), fs::perms::owner_all, fs::perm_options::replace);
    return "directory permissions do not bind this user";
  }
  // Another program holds the file open for writing until the end.
  void written_by_another(const std::string& n) {
    int opened[2];
    int closed[2];
    ASSERT_EQ(0, ::pipe(opened));
    ASSERT_EQ(0, ::pipe(closed));
    const std::string path = name(n);
    writer = ::fork();
    if (writer == 0) {
      ::close(closed[1]);
      const int fd = ::open(path.c_str(), O_WRONLY);
      char c = fd >= 0 ? '1' : '0';
      (void)!::write(opened[1], &c, 1);
      (void)!::read(closed[0], &c, 1);  // till the parent closes its end
      ::_exit(0);
    }
    ::close(opened[1]);
    ::close(closed[0]);
    writer_pipe = closed[1];
    char c = 0;
    ASSERT_EQ(1, ::read(opened[0], &c, 1));
    ::close(opened[0]);
    ASSERT_EQ('1', c);
  }
};

template <class Backend>
class OsContract : public ::testing::Test, public contract::Steps<OsContract<Backend>> {
 public:
  Backend b;
  Os& os() { return b.os(); }
  std::string at(const std::string& n) const { return b.name(n); }
  void put(const std::string& n, const std::string& bytes) { b.put(n, bytes); }
  std::string content(const std::string& n) const { return b.read(n).value_or("(none)"); }
  std::vector<std::string> names() const { return b.names(); }
  bool only_owner_may_access(const std::string& n) const { return b.only_owner_may_access(n); }
};

struct BackendNames {
  template <class T>
  static std::string GetName(int) {
    return std::is_same_v<T, FakeBackend> ? "Fake" : "Native";
  }
};
using Backends = ::testing::Types<FakeBackend, NativeBackend>;
TYPED_TEST_SUITE(OsContract, Backends, BackendNames);

TYPED_TEST(OsContract, OpenCreatesOnlyWhatItIsAskedToAndNeverTouchesContent) {
  contract::open_creates_only_what_it_is_asked_to_and_never_touches_content(*this);
}

TYPED_TEST(OsContract, WriteTruncateAndReadBack) { contract::write_truncate_and_read_back(*this); }

TYPED_TEST(OsContract, SetFileSizeFillsWithZerosAndKeepsThePosition) {
  contract::set_file_size_fills_with_zeros_and_keeps_the_position(*this);
}

TYPED_TEST(OsContract, CopyDataCopiesTheRestFromBothPositions) {
  contract::copy_data_copies_the_rest_from_both_positions(*this);
}

TYPED_TEST(OsContract, NewFileBesideTakesTheTargetsPlaceOrGoesWithoutATrace) {
  contract::new_file_beside_takes_the_targets_place_or_goes_without_a_trace(*this);
}

TYPED_TEST(OsContract, RenamesReplaceOnlyWhenAskedTo) {
  contract::renames_replace_only_when_asked_to(*this);
}

TYPED_TEST(OsContract, RemoveFileOfAMissingNameIsFileNotFound) {
  contract::remove_file_of_a_missing_name_is_file_not_found(*this);
}

TYPED_TEST(OsContract, StateTellsSizeKindAndAnyWriteSince) {
  contract::state_tells_size_kind_and_any_write_since(*this);
}

TYPED_TEST(OsContract, ExactPrivateFileIsMadeForItsOwnerAlone) {
  contract::exact_private_file_is_made_for_its_owner_alone(*this);
}

TYPED_TEST(OsContract, AdoptIdentityGivesTheNamedFilesBits) {
  this->b.put("old", "old bytes");
  this->b.set_bits("old", 0640);
  std::string temp;
  const OpenResult r = this->os().create_beside(this->at("old"), /*own=*/false, temp);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_EQ(OsError::file_not_found, this->os().adopt_identity(r.handle, this->at("missing")));
  EXPECT_EQ(OsError::none, this->os().adopt_identity(r.handle, this->at("old")));
  EXPECT_EQ(OsError::none, this->os().keep_beside(r.handle, temp, this->at("old")));
  if (const auto bits = this->b.bits("old")) {
    EXPECT_EQ(0640u, *bits);
  }
  EXPECT_TRUE(this->os().path_state(this->at("old")).mine);
}

TYPED_TEST(OsContract, LinksAreFollowedToTheirEndOnlyWhereAsked) {
  this->b.put("f", "abc");
  this->b.link("l", "f");
  this->b.link("d", "gone");
  const FileId f = this->os().path_state(this->at("f")).id;
  std::string target;
  for (const char* n : {"f", "l"}) {
    SCOPED_TRACE(n);
    ASSERT_EQ(OsError::none, this->os().resolve_name(this->at(n), target));
    EXPECT_EQ(f, this->os().path_state(target).id);
  }
  const FileState name = this->os().name_state(this->at("l"));
  const FileState path = this->os().path_state(this->at("l"));
  EXPECT_TRUE(name.exists && name.link && !name.regular && !name.writable);
  EXPECT_TRUE(path.exists && !path.link && path.regular && path.id == f && path.size == 3);
  // A dangling link: there is a name, no file; it leads to its destination.
  EXPECT_TRUE(this->os().name_state(this->at("d")).link);
  EXPECT_FALSE(this->os().path_state(this->at("d")).exists);
  ASSERT_EQ(OsError::none, this->os().resolve_name(this->at("d"), target));
  const OpenResult made = this->os().open_file(target, Access::write, Create::create_if_missing);
  ASSERT_EQ(OsError::none, made.error);
  this->close(made.handle);
  EXPECT_EQ("", this->content("gone"));
  // Removed, a link goes itself, never what it leads to.
  EXPECT_EQ(OsError::none, this->os().remove_file(this->at("l")));
  EXPECT_EQ(OsError::none, this->os().remove_file(this->at("d")));
  EXPECT_FALSE(this->os().name_state(this->at("l")).exists);
  EXPECT_FALSE(this->os().name_state(this->at("d")).exists);
  EXPECT_EQ((std::vector<std::string>{"f", "gone"}), this->b.names());
}

TYPED_TEST(OsContract, RenamesTakeALinkItselfAndRefuseADirectory) {
  this->b.put("victim", "V");
  this->b.put("a", "A");
  this->b.link("l", "victim");
  this->b.link("d", "gone");
  this->b.directory("dir");
  EXPECT_EQ(OsError::already_exists, this->os().rename_no_replace(this->at("a"), this->at("d")));
  EXPECT_EQ(OsError::none, this->os().replace_name(this->at("a"), this->at("l")));
  EXPECT_FALSE(this->os().name_state(this->at("l")).link);
  EXPECT_EQ("A", this->content("l"));
  EXPECT_EQ("V", this->content("victim"));
  EXPECT_EQ(OsError::access_denied, this->os().replace_name(this->at("victim"), this->at("dir")));
  EXPECT_EQ(OsError::access_denied, this->os().remove_file(this->at("dir")));
  EXPECT_EQ("V", this->content("victim"));
}

// The run's own file, opened through the seam's exact opens, where something
// else than the run's own file stands: never read, and for writing replaced
// by a new private file, never written through to the other file ("v" +
// name) behind it; the user's own read-only file is left as it is.
TYPED_TEST(OsContract, OwnFileIsOnlyTheUsersPrivateFile) {
  using B = TypeParam;
  struct Case {
    const char* what;
    const char* (*make)(B&, const std::string& n);  // why it cannot be made, or nullptr
    OsError read;
    OsError write;
  };
  const Case cases[] = {
      {"private",
       [](B& b, const std::string& n) -> const char* {
         b.put(n, "abc");
         b.set_bits(n, 0600);
         return nullptr;
       },
       OsError::none, OsError::none},
      {"read-only",
       [](B& b, const std::string& n) -> const char* {
         b.put(n, "abc");
         b.read_only(n);
         return nullptr;
       },
       OsError::none, OsError::access_denied},
      {"others may write",
       [](B& b, const std::string& n) -> const char* {
         b.put(n, "abc");
         b.others_may_write(n);
         return nullptr;
       },
       OsError::access_denied, OsError::none},
      {"a link",
       [](B& b, const std::string& n) -> const char* {
         b.link(n, "v" + n);
         return nullptr;
       },
       OsError::access_denied, OsError::none},
      {"two names",
       [](B& b, const std::string& n) -> const char* {
         b.second_name("v" + n, n);
         return nullptr;
       },
       OsError::access_denied, OsError::none},
      {"another user's",
       [](B& b, const std::string& n) {
         b.put(n, "abc");
         return b.give_away(n);
       },
       OsError::access_denied, OsError::none},
  };
  set_os(&this->os());  // the rule above the seam, on this backend
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string n(1, static_cast<char>('a' + index++));
    this->b.put("v" + n, "abc");
    if (const char* why = c.make(this->b, n)) {
      std::cout << "[ SKIPPED  ] " << c.what << ": " << why << "\n";
      continue;
    }
    const OpenResult read = open_own(this->at(n));
    EXPECT_EQ(c.read, read.error);
    if (read.error == OsError::none) {
      EXPECT_EQ("abc", this->read_rest(read.handle));
      this->close(read.handle);
    }
    NewFile side;
    const OpenResult write = open_scratch(this->at(n), this->os().name_state(this->at(n)), side);
    const bool replaced = side.open();
    EXPECT_EQ(c.write, write.error);
    EXPECT_EQ(c.write == OsError::none && c.read != OsError::none, replaced);
    if (write.error == OsError::none) {
      this->write(write.handle, "x");
      if (replaced) {
        EXPECT_EQ(OsError::none, side.keep());
      } else {
        this->close(write.handle);
      }
      EXPECT_TRUE(this->b.only_owner_may_access(n));
      const FileState state = this->os().name_state(this->at(n));
      EXPECT_TRUE(state.mine && state.regular && !state.link && state.links == 1);
    }
    EXPECT_EQ(write.error != OsError::none ? "abc" : replaced ? "x" : "xbc", this->content(n));
    EXPECT_EQ("abc", this->content("v" + n));
  }
  set_os(nullptr);
}

TYPED_TEST(OsContract, ALockHeldElsewhereIsBusyUntilGivenBack) {
  this->b.put("plot", "x");
  LockHolder holder;
  FileId locked;
  this->b.hold_lock(this->at("plot"));
  EXPECT_EQ(OsError::busy, this->os().lock_file(this->at("plot"), 0, locked, holder));
  this->b.release_lock();
  EXPECT_EQ(OsError::none, this->os().lock_file(this->at("plot"), 0, locked, holder));
  EXPECT_EQ(this->os().path_state(this->at("plot")).id, locked);
  EXPECT_EQ(OsError::file_not_found, this->os().lock_file(this->at("missing"), 0, locked, holder));

  this->b.hold_lock(".");
  EXPECT_EQ(OsError::busy, this->os().lock_current_directory(0, holder));
  this->b.release_lock();
  EXPECT_EQ(OsError::none, this->os().lock_current_directory(0, holder));
  EXPECT_FALSE(this->b.others_may_lock_directory());
  this->os().unlock_current_directory();
  EXPECT_TRUE(this->b.others_may_lock_directory());
}

TYPED_TEST(OsContract, WritesThroughAnotherHandleAreSeen) {
  contract::writes_through_another_handle_are_seen(*this);
}

TYPED_TEST(OsContract, StaleTemporariesGoOnlyWhenTheirRunIsGoneAndTheyAreTheUsers) {
  this->b.put("plot", "x");
  const std::string gone = this->b.stale_temp("plot", /*gone=*/true, 'a');
  std::vector<std::string> kept{this->b.stale_temp("plot", /*gone=*/false, 'b'), "plot"};
  const std::string theirs = this->b.stale_temp("plot", /*gone=*/true, 'c');
  if (this->b.give_away(theirs) == nullptr) kept.push_back(theirs);
  set_os(&this->os());
  remove_stale_files(this->at("plot"));
  set_os(nullptr);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, this->b.names());
}

// The fake's switches, each against the situation it stands for.

TYPED_TEST(OsContract, ForeignFileGivesItsOwnerToTheFileInItsPlace) {
  this->b.put("theirs", "abc");
  if (const char* why = this->b.give_away("theirs")) GTEST_SKIP() << why;
  EXPECT_FALSE(this->os().path_state(this->at("theirs")).mine);
  std::string temp;
  const OpenResult r = this->os().create_beside(this->at("theirs"), /*own=*/false, temp);
  ASSERT_EQ(OsError::none, r.error);
  this->write(r.handle, "new");
  EXPECT_EQ(OsError::none, this->os().adopt_identity(r.handle, this->at("theirs")));
  EXPECT_EQ(OsError::none, this->os().keep_beside(r.handle, temp, this->at("theirs")));
  EXPECT_EQ("new", this->content("theirs"));
  EXPECT_FALSE(this->os().path_state(this->at("theirs")).mine);
}

TYPED_TEST(OsContract, KeepIdentityAnOwnerThatCannotBeGiven) {
  std::string theirs = "theirs";
  if (const char* why = this->b.not_givable(theirs)) GTEST_SKIP() << why;
  EXPECT_FALSE(this->os().path_state(this->at(theirs)).identity_givable);
  const std::vector<std::string> before = this->b.names();
  std::string temp;
  const OpenResult r = this->os().create_beside(this->at("new"), /*own=*/false, temp);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_EQ(OsError::access_denied, this->os().adopt_identity(r.handle, this->at(theirs)));
  this->os().discard_beside(r.handle, temp);
  EXPECT_EQ(before, this->b.names());
}

TYPED_TEST(OsContract, NoMovesNoRenameFromAnotherVolume) {
  if (const char* why = this->b.elsewhere(k_temp)) GTEST_SKIP() << why;
  this->b.put(k_temp, "new");
  this->b.put("plot", "old");
  EXPECT_NE(this->os().path_state(this->at(k_temp)).id.volume,
            this->os().path_state(this->at("plot")).id.volume);
  EXPECT_EQ(OsError::other, this->os().replace_name(this->at(k_temp), this->at("plot")));
  EXPECT_EQ(OsError::other, this->os().rename_no_replace(this->at(k_temp), this->at("free")));
  EXPECT_EQ("new", this->content(k_temp));
  EXPECT_EQ("old", this->content("plot"));
  EXPECT_EQ("(none)", this->content("free"));
}

TYPED_TEST(OsContract, NoNewFilesADirectoryThatTakesNone) {
  this->b.put("plot", "old");
  if (const char* why = this->b.no_new_files()) GTEST_SKIP() << why;
  std::string temp;
  for (const bool own : {false, true}) {
    const OpenResult r = this->os().create_beside(this->at(own ? k_intent : "plot"), own, temp);
    EXPECT_EQ(OsError::access_denied, r.error);
    EXPECT_EQ(k_no_file, r.handle);
  }
  EXPECT_EQ(OsError::access_denied,
            this->os().open_file(this->at("new"), Access::write, Create::create_if_missing).error);
  EXPECT_EQ(OsError::access_denied,
            this->os().open_file(this->at(k_temp), Access::write, Create::exact_private).error);
  EXPECT_EQ(OsError::access_denied, this->os().rename_no_replace(this->at("plot"), this->at("p")));
  const FileHandle h = this->open("plot", Access::write, Create::must_exist);
  this->write(h, "OLD");
  this->close(h);
  EXPECT_EQ("OLD", this->content("plot"));
  EXPECT_EQ(std::vector<std::string>{"plot"}, this->b.names());
}

TYPED_TEST(OsContract, WrittenByOthersAFileAnotherProgramHoldsForWriting) {
  this->b.put("plot", "abc");
  this->b.written_by_another("plot");
  const FileHandle h = this->open("plot", Access::read, Create::must_exist);
  EXPECT_EQ(Writers::some, this->os().writers(h));
  this->close(h);
}

}  // namespace
