// Replacing a file's contents or a whole file (runtime/file_replace) on the
// real POSIX backend: a new file beside the target kept or discarded, the
// copy over it, the move over it, and what a rename leaves under the name.
#include "runtime/file_replace.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/posix_fixture.h"
#include "tests/support/tool_files.h"

namespace {

class FileReplace : public PosixOs {};

// copy_replace -------------------------------------------------------------

TEST_F(FileReplace, CopyReplacesTheWholeContentAndKeepsPermissionBits) {
  scratch.write(k_temp, "PU1450,3400;\r\n");
  scratch.write("plot.plt", "a much longer old content\r\nPU1200,3400;\r\n");
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  set_mode(path("plot.plt"), mode);
  EXPECT_EQ(OsError::none, copy_over(path(k_temp), path("plot.plt")));
  EXPECT_EQ("PU1450,3400;\r\n", scratch.read("plot.plt"));
  EXPECT_EQ(mode, mode_of(path("plot.plt")));
  EXPECT_EQ((std::vector<std::string>{"plot.plt", k_temp}), scratch.names());
}

TEST_F(FileReplace, CopyCreatesAMissingTargetAndCopiesLargeFilesExactly) {
  std::string big;
  for (int i = 0; big.size() < 3'000'000; ++i) big += "PU" + std::to_string(i) + ",3400;\r\n";
  scratch.write(k_temp, big);
  EXPECT_EQ(OsError::none, copy_over(path(k_temp), path("new.plt")));
  EXPECT_EQ(big, scratch.read("new.plt"));
}

TEST_F(FileReplace, CopyRefusesAReadOnlyTargetAndLeavesIt) {
  scratch.write(k_temp, "new");
  scratch.write("plot.plt", "old");
  set_mode(path("plot.plt"), fs::perms::owner_read | fs::perms::others_read);
  EXPECT_EQ(OsError::access_denied, copy_over(path(k_temp), path("plot.plt")));
  EXPECT_EQ("old", scratch.read("plot.plt"));
  EXPECT_EQ((std::vector<std::string>{"plot.plt", k_temp}), scratch.names());
}

TEST_F(FileReplace, CopyThroughASymlinkReplacesTheFileAndKeepsTheLink) {
  fs::create_directory(path("sub"));
  scratch.write("sub/real.plt", "old");
  fs::create_symlink("sub/real.plt", path("link.plt"));
  scratch.write(k_temp, "new");
  EXPECT_EQ(OsError::none, copy_over(path(k_temp), path("link.plt")));
  EXPECT_TRUE(fs::is_symlink(path("link.plt")));
  EXPECT_EQ(fs::path("sub/real.plt"), fs::read_symlink(path("link.plt")));
  EXPECT_EQ("new", scratch.read("sub/real.plt"));
  EXPECT_EQ(std::vector<std::string>{"real.plt"}, [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path("sub"))) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }());
}

TEST_F(FileReplace, CopyOverADanglingLinkCreatesItsDestination) {
  fs::create_symlink("made.plt", path("link.plt"));
  scratch.write(k_temp, "new");
  EXPECT_EQ(OsError::none, copy_over(path(k_temp), path("link.plt")));
  EXPECT_TRUE(fs::is_symlink(path("link.plt")));
  EXPECT_EQ("new", scratch.read("made.plt"));
}

TEST_F(FileReplace, FailedCopyLeavesTheTargetAndNoStrayFile) {
  scratch.write("plot.plt", "old");
  fs::create_directory(path("dir"));
  const std::vector<std::string> before = scratch.names();
  EXPECT_EQ(OsError::file_not_found, copy_over(path("missing.log"), path("plot.plt")));
  EXPECT_EQ(OsError::access_denied, copy_over(path("dir"), path("plot.plt")));
  EXPECT_EQ(OsError::access_denied, copy_over(path("plot.plt"), path("dir")));
  EXPECT_EQ("old", scratch.read("plot.plt"));
  EXPECT_EQ(before, scratch.names());
}

TEST_F(FileReplace, CopyFailingHalfwayLeavesTheTargetAndNoStrayFile) {
  scratch.write(k_temp, std::string(64 * 1024, 'n'));
  scratch.write("plot.plt", "old");
  // A file-size limit below the source makes the copy fail in the middle
  // (SIGXFSZ is ignored by the backend, so the write fails with EFBIG).
  rlimit saved{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  const OsError e = copy_over(path(k_temp), path("plot.plt"));
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &saved));
  EXPECT_EQ(OsError::disk_full, e);
  EXPECT_EQ("old", scratch.read("plot.plt"));
  EXPECT_EQ((std::vector<std::string>{"plot.plt", k_temp}), scratch.names());
}

TEST_F(FileReplace, CopyRewritesInPlaceWhereTheDirectoryTakesNoNewFile) {
  if (privileged(scratch)) GTEST_SKIP() << "directory permissions do not bind this user";
  fs::create_directory(path("locked"));
  scratch.write("locked/plot.plt", "old content");
  scratch.write(k_temp, "new");
  set_mode(path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  const OsError e = copy_over(path(k_temp), path("locked/plot.plt"));
  const OsError missing = copy_over(path(k_temp), path("locked/other.plt"));
  set_mode(path("locked"), fs::perms::owner_all);
  EXPECT_EQ(OsError::none, e);
  EXPECT_EQ("new", scratch.read("locked/plot.plt"));
  EXPECT_EQ(OsError::access_denied, missing);
}

// rename_no_replace ----------------------------------------------------------


// New files beside a target, and moves over one -------------------------------

TEST_F(FileReplace, NewFileBesideReplacesTheOldInOneStepKeepingItsBits) {
  scratch.write(k_settings, "     15574\r\n       250\r\n");
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  set_mode(path(k_settings), mode);
  OsError e = OsError::other;
  NewFile r = NewFile::beside(path(k_settings), e);
  ASSERT_EQ(OsError::none, e);
  ASSERT_EQ(OsError::none, os_.write_file(r.handle(), "new\r\n", 5));
  // Where the file system allows, the new file has no name until it is kept.
  if (scratch.names().size() != 1) {
    for (const std::string& name : scratch.names()) {
      EXPECT_TRUE(name == k_settings || name.rfind("." + k_settings + ".ffx", 0) == 0) << name;
    }
  }
  EXPECT_EQ("     15574\r\n       250\r\n", scratch.read(k_settings))
      << "untouched until the commit";

  EXPECT_EQ(OsError::none, r.keep());
  EXPECT_EQ("new\r\n", scratch.read(k_settings));
  EXPECT_EQ(mode, mode_of(path(k_settings)));
  EXPECT_EQ(std::vector<std::string>{k_settings}, scratch.names());
}

TEST_F(FileReplace, NewFileBesideALinkReplacesItsFileAndKeepsTheLink) {
  fs::create_directory(path("sub"));
  scratch.write("sub/real.ini", "old");
  fs::create_symlink("sub/real.ini", path(k_settings));
  OsError e = OsError::other;
  NewFile r = NewFile::beside(path(k_settings), e);
  ASSERT_EQ(OsError::none, e);
  ASSERT_EQ(OsError::none, os_.write_file(r.handle(), "new", 3));
  EXPECT_EQ(OsError::none, r.keep());
  EXPECT_TRUE(fs::is_symlink(path(k_settings)));
  EXPECT_EQ("new", scratch.read("sub/real.ini"));
  EXPECT_EQ((std::vector<std::string>{k_settings, "sub"}), scratch.names());
  EXPECT_EQ(1, std::distance(fs::directory_iterator(path("sub")), fs::directory_iterator{}));
}

TEST_F(FileReplace, FailedOrDiscardedNewFileLeavesNothing) {
  scratch.write(k_settings, "old");
  fs::create_directory(path("dir"));
  OsError e = OsError::other;
  NewFile r = NewFile::beside(path(k_settings), e);
  ASSERT_EQ(OsError::none, e);
  r.discard();
  { NewFile dropped = NewFile::beside(path(k_settings), e); }  // Neither kept nor discarded.
  EXPECT_EQ("old", scratch.read(k_settings));
  EXPECT_EQ((std::vector<std::string>{"dir", k_settings}), scratch.names());
}

TEST(ChooseRoute, RenameWhereOneStepElseBesideElseInPlace) {
  FileState plain;
  plain.exists = plain.regular = plain.writable = plain.identity_givable = true;
  plain.links = 1;
  FileState ready = plain;
  ready.mine = true;
  const auto with = [](FileState s, auto change) {
    change(s);
    return s;
  };
  struct Case {
    const char* name;
    FileState target;
    FileState ready;
    bool new_file_refused;
    Route expected;
  };
  const Case cases[] = {
      {"own private copy", plain, ready, false, Route::rename},
      {"no copy of its own", plain, {}, false, Route::beside},
      {"copy others may write", plain, with(ready, [](auto& s) { s.others_may_write = true; }), false, Route::beside},
      {"copy of another user", plain, with(ready, [](auto& s) { s.mine = false; }), false, Route::beside},
      {"copy with a second name", plain, with(ready, [](auto& s) { s.links = 2; }), false, Route::beside},
      {"copy on another volume", plain, with(ready, [](auto& s) { s.id.volume = 9; }), false, Route::beside},
      {"no file yet", {}, ready, false, Route::rename},
      {"no file yet, no copy", {}, {}, false, Route::beside},
      {"no file yet, no new file", {}, {}, true, Route::refused},
      {"target with a second name", with(plain, [](auto& s) { s.links = 2; }), ready, false, Route::in_place},
      {"target owner not givable", with(plain, [](auto& s) { s.identity_givable = false; }), ready, false, Route::in_place},
      {"no new file beside", plain, {}, true, Route::in_place},
      {"read-only target", with(plain, [](auto& s) { s.writable = false; }), ready, false, Route::refused},
      {"special target", with(plain, [](auto& s) { s.regular = false; }), ready, true, Route::refused},
  };
  for (const Case& c : cases) {
    RouteFacts facts{.target = c.target, .ready = c.ready, .new_file_refused = c.new_file_refused};
    EXPECT_EQ(c.expected, choose_route(facts)) << c.name;
  }
}

TEST_F(FileReplace, MoveRenamesOnlyWhereThatIsOneStep) {
  struct Case {
    const char* name;
    bool second_link;  // ~ffx.log has another name
    bool read_only;    // the plot file lets nobody write
    bool changed;      // the plot file changed after the state the caller expects
    OsError expected;
    fs::perms directory = fs::perms::owner_all;  // of the directory both stand in
  };
  const fs::perms group_may_write = fs::perms::owner_all | fs::perms::group_all;
  const fs::perms sticky = group_may_write | fs::perms::others_all | fs::perms::sticky_bit;
  const Case cases[] = {
      {"plain", false, false, false, OsError::none},
      // The run's own file only: the rename would take the other name along.
      {"second link", true, false, false, OsError::access_denied},
      {"plot changed since it was read", false, false, true, OsError::changed},
      // Others could put a file of theirs under ~ffx.log before the rename.
      {"directory others may write", false, false, false, OsError::other, group_may_write},
      {"sticky directory", false, false, false, OsError::none, sticky},
  };
  // A directory of its own for each case: the backend holds the directories
  // it has reached for the rest of the process.
  std::string m = "m";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m += "m";
    fs::create_directory(path(m));
    set_mode(path(m), c.directory);
    const std::string log = m + "/" + k_temp;
    scratch.write(log, "new");
    scratch.write(m + "/plot.plt", "old");
    const fs::perms mode = fs::perms::owner_read | fs::perms::group_read |
                           (c.read_only ? fs::perms::none : fs::perms::owner_write);
    set_mode(path(m + "/plot.plt"), mode);
    const fs::perms log_mode = mode_of(path(log));
    if (c.second_link) fs::create_hard_link(path(log), path(m + "/other"));
    const FileState read = os_.path_state(path(m + "/plot.plt"));
    // Same size, time of last write put back: only the change time tells.
    if (c.changed) {
      // File times have a tick of a few milliseconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      set_mode(path(m + "/plot.plt"), fs::perms::owner_all);
      set_mode(path(m + "/plot.plt"), mode);
    }
    const FileState ready = os_.path_state(path(log));
    EXPECT_EQ(c.expected, move_over(path(log), ready, path(m + "/plot.plt"), &read));
    const bool moved = c.expected == OsError::none;
    EXPECT_EQ(moved ? "new" : "old", scratch.read(m + "/plot.plt"));
    EXPECT_EQ(moved, !fs::exists(path(log)));
    EXPECT_EQ(mode, mode_of(path(m + "/plot.plt")));
    // A plot that changed is someone else's: ~ffx.log takes nothing of it.
    if (c.changed) {
      EXPECT_EQ(log_mode, mode_of(path(log)));
    }
  }
}


TEST_F(FileReplace, AKeptFileIsCheckedUnderItsNameAfterTheRename) {
  // Another process renames its own file over the name as soon as the kept
  // file lands there: the keep must not report success for a name that no
  // longer leads to what was written. The directory sync after the rename
  // leaves the other process the time; some of the rounds must see it.
  int changed = 0;
  for (int round = 0; round < 20; ++round) {
    std::string dir = path("r");
    dir.append(std::to_string(round));
    const std::string target = dir + "/t.plt";
    const std::string theirs = dir + "/theirs";
    fs::create_directory(dir);
    std::ofstream(target) << "old";
    std::ofstream(theirs) << "theirs";
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_LE(0, watch);
    ASSERT_LE(0, ::inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO));
    std::thread other([&] {
      alignas(inotify_event) char events[4096];
      if (::read(watch, events, sizeof events) > 0) {
        (void)::rename(theirs.c_str(), target.c_str());
      }
    });
    OsError e = OsError::other;
    NewFile file = NewFile::beside(target, e);
    ASSERT_EQ(OsError::none, e);
    ASSERT_EQ(OsError::none, os_.write_file(file.handle(), "new", 3));
    e = file.keep();
    other.join();
    ::close(watch);
    if (e == OsError::changed) ++changed;
    // Where the keep saw its own file, the other one came only after the look.
    if (e == OsError::none) {
      std::ifstream in(target);
      EXPECT_EQ("theirs", std::string(std::istreambuf_iterator<char>(in), {}));
    }
  }
  EXPECT_LT(0, changed);
}


}  // namespace
