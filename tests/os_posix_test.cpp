// The POSIX backend on a real disk, each test in its own scratch directory:
// opening rules, the all-or-nothing copy, exclusive rename and the command
// interpreter.
#include "runtime/os.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/file_replace.h"
#include "runtime/test_seam.h"
#include "tests/support/posix_fixture.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/tool_files.h"


namespace {

namespace fs = std::filesystem;

// Opening, reading and writing ---------------------------------------------

TEST_F(PosixOs, ReadOnlyFileIsRefusedForWritingEvenForRoot) {
  scratch.write("ro.plt", "data");
  set_mode(path("ro.plt"), fs::perms::owner_read | fs::perms::group_read);
  for (const Create create : {Create::must_exist, Create::create_if_missing}) {
    const OpenResult r = os_.open_file(path("ro.plt"), Access::write, create);
    EXPECT_EQ(OsError::access_denied, r.error);
    EXPECT_EQ(k_no_file, r.handle);
  }
  const OpenResult r = os_.open_file(path("ro.plt"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_EQ(OsError::none, os_.close_file(r.handle));
  EXPECT_EQ("data", scratch.read("ro.plt"));
}

TEST_F(PosixOs, DirectoryCannotBeOpened) {
  fs::create_directory(path("dir"));
  for (const Access access : {Access::read, Access::write}) {
    EXPECT_EQ(OsError::access_denied,
              os_.open_file(path("dir"), access, Create::create_if_missing).error);
  }
}

TEST_F(PosixOs, OpenCreatesOnlyWhatIsMissingAndMapsPathErrors) {
  scratch.write("old.ini", "15574\r\n");
  OpenResult r = os_.open_file(path("old.ini"), Access::write, Create::create_if_missing);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_FALSE(r.created);
  EXPECT_EQ(OsError::none, os_.close_file(r.handle));
  EXPECT_EQ("15574\r\n", scratch.read("old.ini")) << "opened untouched";

  r = os_.open_file(path("new.ini"), Access::write, Create::create_if_missing);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_TRUE(r.created);
  EXPECT_EQ(OsError::none, os_.close_file(r.handle));
  EXPECT_EQ("", scratch.read("new.ini"));

  EXPECT_EQ(OsError::file_not_found,
            os_.open_file(path("none.plt"), Access::read, Create::must_exist).error);
  EXPECT_FALSE(scratch.exists("none.plt"));
  EXPECT_EQ(OsError::file_not_found,
            os_.open_file(path("nodir/x.plt"), Access::write, Create::create_if_missing).error);
  EXPECT_EQ(OsError::path_not_found,
            os_.open_file(path("old.ini/x.plt"), Access::read, Create::must_exist).error);
}

TEST_F(PosixOs, WriteTruncateAndReadRoundTrip) {
  OpenResult w = os_.open_file(path("f"), Access::write, Create::create_if_missing);
  ASSERT_EQ(OsError::none, w.error);
  EXPECT_EQ(OsError::none, os_.write_file(w.handle, "hello world", 11));
  EXPECT_EQ(OsError::none, os_.close_file(w.handle));

  w = os_.open_file(path("f"), Access::write, Create::must_exist);
  ASSERT_EQ(OsError::none, w.error);
  EXPECT_EQ(OsError::none, os_.write_file(w.handle, "HE", 2));
  EXPECT_EQ(OsError::none, os_.truncate_file(w.handle));
  EXPECT_EQ(OsError::none, os_.close_file(w.handle));
  EXPECT_EQ("HE", scratch.read("f"));

  const OpenResult r = os_.open_file(path("f"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  char buffer[16];
  ReadResult got = os_.read_file(r.handle, buffer, sizeof buffer);
  EXPECT_EQ(OsError::none, got.error);
  EXPECT_EQ("HE", std::string(buffer, got.count));
  got = os_.read_file(r.handle, buffer, sizeof buffer);
  EXPECT_EQ(OsError::none, got.error);
  EXPECT_EQ(0u, got.count);
  EXPECT_EQ(OsError::none, os_.close_file(r.handle));
}

TEST_F(PosixOs, FullDeviceIsReportedAsDiskFull) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  const OpenResult w = os_.open_file("/dev/full", Access::write, Create::must_exist);
  ASSERT_EQ(OsError::none, w.error);
  EXPECT_EQ(OsError::disk_full, os_.write_file(w.handle, "x", 1));
  (void)os_.close_file(w.handle);
}

TEST_F(PosixOs, FileIdIsTheSameWhateverNameReachedTheFile) {
  scratch.write("plot.plt", "x");
  scratch.write("other.plt", "x");
  fs::create_symlink("plot.plt", path("link.plt"));
  const OpenResult a = os_.open_file(path("plot.plt"), Access::read, Create::must_exist);
  const OpenResult b = os_.open_file(path("link.plt"), Access::write, Create::must_exist);
  const OpenResult c = os_.open_file(path("other.plt"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, a.error);
  ASSERT_EQ(OsError::none, b.error);
  ASSERT_EQ(OsError::none, c.error);
  EXPECT_EQ(os_.file_id(a.handle), os_.file_id(b.handle));
  EXPECT_NE(os_.file_id(a.handle), os_.file_id(c.handle));
  for (const FileHandle h : {a.handle, b.handle, c.handle}) (void)os_.close_file(h);
}

TEST_F(PosixOs, RemoveFileRefusesDirectoriesAndReportsMissingFiles) {
  scratch.write(k_temp, "x");
  fs::create_directory(path("dir"));
  EXPECT_EQ(OsError::none, os_.remove_file(path(k_temp)));
  EXPECT_FALSE(scratch.exists(k_temp));
  EXPECT_EQ(OsError::file_not_found, os_.remove_file(path(k_temp)));
  EXPECT_EQ(OsError::access_denied, os_.remove_file(path("dir")));
  EXPECT_TRUE(fs::is_directory(path("dir")));
}

TEST_F(PosixOs, RenameRefusesAnExistingTarget) {
  scratch.write("a", "A");
  scratch.write("b", "B");
  EXPECT_EQ(OsError::already_exists, os_.rename_no_replace(path("a"), path("b")));
  EXPECT_EQ("A", scratch.read("a"));
  EXPECT_EQ("B", scratch.read("b"));
  EXPECT_EQ(OsError::none, os_.rename_no_replace(path("a"), path("c")));
  EXPECT_FALSE(scratch.exists("a"));
  EXPECT_EQ("A", scratch.read("c"));
  EXPECT_EQ(OsError::file_not_found, os_.rename_no_replace(path("a"), path("d")));
}

// A new file made beside one target is kept there or nowhere: handed a target
// in another directory, neither file changes and no name is left behind.
TEST_F(PosixOs, NewFileBesideIsKeptOnlyInTheDirectoryItWasMadeIn) {
  fs::create_directory(path("a"));
  fs::create_directory(path("b"));
  scratch.write("a/x", "old a");
  scratch.write("b/x", "old b");
  std::string temp;
  const OpenResult r = os_.create_beside(path("a/x"), /*own=*/false, temp);
  ASSERT_EQ(OsError::none, r.error);
  ASSERT_EQ(OsError::none, os_.write_file(r.handle, "new", 3));
  EXPECT_NE(OsError::none, os_.keep_beside(r.handle, temp, path("b/x")));
  EXPECT_EQ("old a", scratch.read("a/x"));
  EXPECT_EQ("old b", scratch.read("b/x"));
  for (const char* dir : {"a", "b"}) {
    const auto entries = std::distance(fs::directory_iterator(path(dir)), fs::directory_iterator());
    EXPECT_EQ(1, entries) << dir;
  }
}

// run_command ----------------------------------------------------------------

TEST_F(PosixOs, CommandRunsThroughComspecWithSlashC) {
  scratch.write("comspec.sh", "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"" +
                                  path("args.log") + "\"\n");
  set_mode(path("comspec.sh"), fs::perms::owner_all);
  EnvGuard comspec("COMSPEC", path("comspec.sh").c_str());
  os_.run_command("dir  /w \"a b\"");
  EXPECT_EQ("[/c]\n[dir  /w \"a b\"]\n", scratch.read("args.log"));
}

TEST_F(PosixOs, CommandFallsBackToTheShell) {
  scratch.write("not_executable.sh", "#!/bin/sh\n");
  struct Case {
    const char* name;
    std::optional<std::string> comspec;
  };
  const std::vector<Case> cases = {
      {"unset", std::nullopt},
      {"empty", std::string()},
      {"missing program", path("no_such_interpreter")},
      {"not executable", path("not_executable.sh")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EnvGuard comspec("COMSPEC", c.comspec ? c.comspec->c_str() : nullptr);
    fs::remove(path("out.txt"));
    os_.run_command("echo ok > '" + path("out.txt") + "'");
    EXPECT_EQ("ok\n", scratch.read("out.txt"));
  }
}

TEST_F(PosixOs, CommandGetsTheUsualSignalHandling) {
  // The backend ignores SIGPIPE and SIGXFSZ for itself only.
  if (!fs::exists("/proc/self/status")) GTEST_SKIP() << "no /proc here";
  EnvGuard comspec("COMSPEC", nullptr);
  os_.run_command("grep SigIgn /proc/self/status > '" + path("status.txt") + "'");
  const std::optional<std::string> status = scratch.read("status.txt");
  ASSERT_TRUE(status.has_value());
  ASSERT_EQ(0u, status->rfind("SigIgn:", 0)) << *status;
  const unsigned long long ignored = std::stoull(status->substr(7), nullptr, 16);
  // Bit n-1 stands for signal n: SIGPIPE is 13 and SIGXFSZ 25 on Linux.
  EXPECT_EQ(0u, ignored & ((1ull << (13 - 1)) | (1ull << (25 - 1)))) << *status;
}

TEST_F(PosixOs, OwnScratchFileReplacesLinksInsteadOfWritingThroughThem) {
  scratch.write("victim", "keep me");
  const std::string log = path(k_temp);
  const fs::perms private_bits = fs::perms::owner_read | fs::perms::owner_write;
  enum class Kind { symbolic, hard, group_writable };
  for (const Kind kind : {Kind::symbolic, Kind::hard, Kind::group_writable}) {
    SCOPED_TRACE(static_cast<int>(kind));
    fs::remove(log);
    if (kind == Kind::symbolic) fs::create_symlink(path("victim"), log);
    if (kind == Kind::hard) fs::create_hard_link(path("victim"), log);
    if (kind == Kind::group_writable) {
      // The user's own, but others could write it: no file of the run's own.
      scratch.write(k_temp, "old");
      set_mode(log, private_bits | fs::perms::group_read | fs::perms::group_write);
    }
    NewFile side;
    const OpenResult r = open_scratch(log, os_.name_state(log), side);
    ASSERT_EQ(OsError::none, r.error);
    ASSERT_TRUE(side.open()) << "never written where it stands";
    ASSERT_EQ(OsError::none, os_.write_file(r.handle, "x", 1));
    ASSERT_EQ(OsError::none, side.keep());
    EXPECT_EQ("keep me", scratch.read("victim"));
    EXPECT_FALSE(fs::is_symlink(log));
    EXPECT_EQ("x", scratch.read(k_temp));
    EXPECT_EQ(private_bits, mode_of(log));
  }
  // An older own file that others may read is used where it stands, and
  // private from now on; one nobody may write stays as it is.
  set_mode(log, private_bits | fs::perms::group_read | fs::perms::others_read);
  NewFile side;
  OpenResult r = open_scratch(log, os_.name_state(log), side);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_FALSE(side.open());
  EXPECT_EQ(private_bits, mode_of(log));
  (void)os_.close_file(r.handle);
  set_mode(log, fs::perms::owner_read);
  r = open_scratch(log, os_.name_state(log), side);
  EXPECT_EQ(OsError::access_denied, r.error);
  EXPECT_FALSE(side.open());
  EXPECT_EQ("x", scratch.read(k_temp));
}

TEST_F(PosixOs, StaleTemporaryFilesGoOnlyWhenTheirRunIsGone) {
  // A process id that is surely gone: a child that has been waited for.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const std::string site = posix_temp_site();
  ASSERT_EQ(8u, site.size());
  std::string elsewhere = site;  // another machine or process namespace
  elsewhere[0] = elsewhere[0] == '0' ? '1' : '0';
  const std::string gone = ".plot.plt.ffx" + site + "-" + std::to_string(child) + "-0";
  const std::string alive = ".plot.plt.ffx" + site + "-" + std::to_string(::getppid()) + "-3";
  const std::string other_site = ".plot.plt.ffx" + elsewhere + "-" + std::to_string(child) + "-1";
  const std::string theirs = ".plot.plt.ffx" + site + "-" + std::to_string(child) + "-2";
  const std::string old_form = ".plot.plt.ffx" + std::to_string(child) + "-4";
  // This run's own, and a name with nothing before the marker: no stale file.
  const std::string own = ".plot.plt.ffx" + site + "-" + std::to_string(::getpid()) + "-5";
  const std::string no_target = "..ffx" + site + "-" + std::to_string(child) + "-6";
  const std::string more_after = ".plot.plt.ffx" + site + "-" + std::to_string(child) + "-7.x";
  for (const std::string& name :
       {gone, alive, other_site, theirs, old_form, own, no_target, more_after,
        std::string(".plot.ffx12x-0"),
        std::string("plot.plt")}) {
    scratch.write(name, "x");
  }
  // Another user's file, whatever its name says, is never this run's to remove.
  const bool can_give_away = ::geteuid() == 0;
  if (can_give_away) {
    ASSERT_EQ(0, ::chown(path(theirs).c_str(), 65534, 65534));
  }
  remove_stale_files(path("plot.plt"));
  std::vector<std::string> kept{alive,     other_site, old_form,         own,
                                no_target, more_after, ".plot.ffx12x-0", "plot.plt"};
  if (can_give_away) kept.push_back(theirs);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, scratch.names());
}

TEST_F(PosixOs, StateTellsAWrittenFileFromTheOneThatWasRead) {
  scratch.write("plot.plt", "PU1,1;\r\n");
  const FileState before = os_.path_state(path("plot.plt"));
  EXPECT_TRUE(before.exists);
  EXPECT_TRUE(before.regular);
  EXPECT_EQ(8u, before.size);
  const OpenResult r = os_.open_file(path("plot.plt"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_TRUE(same_file_state(os_.file_state(r.handle), before));
  scratch.write("plot.plt", "PU1,1;\r\nPU2,2;\r\n");
  EXPECT_FALSE(same_file_state(os_.file_state(r.handle), before));
  ASSERT_EQ(OsError::none, os_.close_file(r.handle));
  EXPECT_FALSE(os_.path_state(path("missing")).exists);
  EXPECT_FALSE(os_.path_state("/dev/null").regular);
}

TEST_F(PosixOs, AWriterElsewhereIsSeenWhateverTheSystemTellsOfIt) {
  // Held open for writing by another, nothing written: the system says so.
  scratch.write("held.plt", "PU1,1;\r\n");
  const int writer = ::open(path("held.plt").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_LE(0, writer);
  OpenResult r = os_.open_file(path("held.plt"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_TRUE(written_elsewhere(r.handle));
  (void)os_.close_file(r.handle);
  ::close(writer);

  // Written once while watched, its writer gone since: the watch tells.
  scratch.write("seen.plt", "PU1,1;\r\n");
  r = os_.open_file(path("seen.plt"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  os_.watch_writes(r.handle);
  const int appender = ::open(path("seen.plt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_LE(0, appender);
  EXPECT_EQ(3, ::write(appender, "PU;", 3));
  ::close(appender);
  EXPECT_TRUE(written_elsewhere(r.handle));
  (void)os_.close_file(r.handle);

  // Neither, where the system tells nothing of holders (no lease for a user
  // who does not own the file): a file written just now is given time to
  // settle, and a write meanwhile counts.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to read as another user";
  scratch.write("fresh.plt", "PU1,1;\r\n");
  r = os_.open_file(path("fresh.plt"), Access::read, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t child = ::fork();
  ASSERT_LE(0, child);
  if (child == 0) {
    const char go = 'g';
    const bool seen = ::setuid(65534) == 0 && ::write(ready[1], &go, 1) == 1 &&
                      written_elsewhere(r.handle);
    ::_exit(seen ? 0 : 1);
  }
  ::close(ready[1]);
  char go = 0;
  EXPECT_EQ(1, ::read(ready[0], &go, 1));
  ::close(ready[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int late = ::open(path("fresh.plt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  EXPECT_EQ(3, ::write(late, "PU;", 3));
  ::close(late);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  (void)os_.close_file(r.handle);
}

TEST_F(PosixOs, NoNewFileBesideInADirectoryThatTakesNone) {
  if (privileged(scratch)) GTEST_SKIP() << "directory permissions do not bind this user";
  fs::create_directory(path("locked"));
  scratch.write("locked/" + k_settings, "old");
  set_mode(path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  std::string temp;
  const OpenResult r = os_.create_beside(path("locked/" + k_settings), /*own=*/false, temp);
  set_mode(path("locked"), fs::perms::owner_all);
  EXPECT_EQ(OsError::access_denied, r.error);
  EXPECT_EQ(k_no_file, r.handle);
}

}  // namespace

namespace {

// The walk to a file, as root would take it through other users' directories
// and links: each case is a tree made for it, with owners given by lchown.
TEST_F(PosixOs, PathsAreWalkedByTheTrustRuleForEveryStep) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  struct Entry {
    std::string name;
    std::string link;  // empty: a directory ending in "/", else a file
    uid_t owner;
  };
  struct Case {
    const char* name;
    std::vector<Entry> tree;  // made in order, under the case's directory
    std::string open;         // opened from the scratch directory
    OsError expected;
  };
  const std::string abs = path("");
  const Case cases[] = {
      {"the user's own link to a file of root", {{"t.plt", "", 0}, {"l.plt", "t.plt", 0}}, "l.plt",
       OsError::none},
      {"another user's link and file in that user's directory",
       {{"u/", "", 1500}, {"u/real/", "", 1500}, {"u/real/f", "", 1500}, {"u/d", "real", 1500},
        {"u/l.plt", "d/f", 1500}},
       "u/l.plt", OsError::none},
      {"another user's link to a path from /",
       {{"u/", "", 1500}, {"t.plt", "", 0}, {"u/l.plt", "@t.plt", 1500}}, "u/l.plt",
       OsError::access_denied},
      {"another user's link in root's directory", {{"t.plt", "", 0}, {"l.plt", "t.plt", 1500}},
       "l.plt", OsError::access_denied},
      {"another user's link to that user's file in root's directory",
       {{"f.plt", "", 1500}, {"l.plt", "f.plt", 1500}}, "l.plt", OsError::access_denied},
      {"a third user's file in another user's directory",
       {{"u/", "", 1500}, {"u/f.plt", "", 1600}}, "u/f.plt", OsError::access_denied},
      {"another user's link up and out of that user's directory",
       {{"t.plt", "", 0}, {"u/", "", 1500}, {"u/l.plt", "../t.plt", 1500}}, "u/l.plt",
       OsError::access_denied},
      {"up from another user's directory", {{"t.plt", "", 0}, {"u/", "", 1500}}, "u/../t.plt",
       OsError::access_denied},
      // A loop that anyone who may write a spool can plant ends the walk.
      {"a loop of links", {{"a.plt", "b.plt", 0}, {"b.plt", "a.plt", 0}}, "a.plt",
       OsError::access_denied},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string top = "w" + std::to_string(n++);
    fs::create_directory(path(top));
    for (const Entry& e : c.tree) {
      const std::string at = path(top + "/" + e.name);
      if (e.name.ends_with('/')) {
        fs::create_directory(at);
      } else if (e.link.empty()) {
        scratch.write(top + "/" + e.name, "PU1,2;\r\n");
      } else {
        // "@name": a path from / to `name` in the case's directory.
        fs::create_symlink(e.link.starts_with('@') ? path(top + "/" + e.link.substr(1)) : e.link,
                           at);
      }
      ASSERT_EQ(0, ::lchown(at.c_str(), e.owner, e.owner));
    }
    const OpenResult r = os_.open_file(path(top + "/" + c.open), Access::read, Create::must_exist);
    EXPECT_EQ(c.expected, r.error);
    if (r.error == OsError::none) (void)os_.close_file(r.handle);
  }
}

TEST_F(PosixOs, APipeIsRefusedEvenWithSomethingToRead) {
  const std::string fifo = path("p.plt");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  // Held open for reading and writing: a writer is there, and so are bytes.
  const int held = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_LE(0, held);
  ASSERT_EQ(3, ::write(held, "PU;", 3));
  EXPECT_EQ(OsError::access_denied, os_.open_file(fifo, Access::read, Create::must_exist).error);
  ::close(held);
}

TEST_F(PosixOs, AFileIsReachedThroughTheDirectoryFoundFirst) {
  // Once walked, a path keeps leading to the directory it led to, whatever
  // is done to the links and directories on the way.
  fs::create_directory(path("a"));
  fs::create_directory(path("b"));
  scratch.write("a/f.plt", "a");
  scratch.write("b/f.plt", "b");
  fs::create_directory_symlink("a", path("d"));
  EXPECT_TRUE(os_.path_state(path("d/f.plt")).exists);
  fs::remove(path("d"));
  fs::create_directory_symlink("b", path("d"));
  const OpenResult r = os_.open_file(path("d/f.plt"), Access::write, Create::must_exist);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_EQ(OsError::none, os_.write_file(r.handle, "new", 3));
  (void)os_.close_file(r.handle);
  EXPECT_EQ("new", scratch.read("a/f.plt"));
  EXPECT_EQ("b", scratch.read("b/f.plt"));
}

TEST_F(PosixOs, AChainOfFortyLinksIsFollowedAndOneMoreIsRefused) {
  scratch.write("t.plt", "PU1,2;\r\n");
  std::string to = "t.plt";
  for (int n = 1; n <= 41; ++n) {
    std::string link = "l";
    link.append(std::to_string(n));
    fs::create_symlink(to, path(link));
    to = link;
  }
  const OpenResult r = os_.open_file(path("l40"), Access::read, Create::must_exist);
  EXPECT_EQ(OsError::none, r.error);
  if (r.error == OsError::none) (void)os_.close_file(r.handle);
  EXPECT_EQ(OsError::access_denied,
            os_.open_file(path("l41"), Access::read, Create::must_exist).error);
}

}  // namespace

