// The operating-system primitives as the tool relies on them, run through
// the in-memory FakeOs and the real backend alike, so that the fake the
// other tests stand on cannot drift from the system it stands in for.
#include "runtime/os.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

/// FakeOs: names are plain keys of its file map.
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
};

/// The real backend, in a scratch directory of its own.
struct NativeBackend {
  ScratchDir scratch;
  Os& os() { return native_os(0, nullptr); }
  std::string name(const std::string& n) const { return scratch.file(n); }
  void put(const std::string& n, const std::string& bytes) { scratch.write(n, bytes); }
  std::optional<std::string> read(const std::string& n) const { return scratch.read(n); }
  std::vector<std::string> names() const { return scratch.names(); }
  bool only_owner_may_access(const std::string& n) const {
    const fs::perms mode = fs::status(scratch.file(n)).permissions() & fs::perms::mask;
    return (mode & (fs::perms::group_all | fs::perms::others_all)) == fs::perms::none;
  }
};

template <class Backend>
class OsContract : public ::testing::Test {
 protected:
  Backend b;
  Os& os() { return b.os(); }
  std::string at(const std::string& n) const { return b.name(n); }
  std::string content(const std::string& n) const { return b.read(n).value_or("(none)"); }

  FileHandle open(const std::string& n, Access access, Create create) {
    const OpenResult r = os().open_file(at(n), access, create);
    EXPECT_EQ(OsError::none, r.error) << n;
    return r.handle;
  }
  void write(FileHandle h, const std::string& bytes) {
    EXPECT_EQ(OsError::none, os().write_file(h, bytes.data(), bytes.size()));
  }
  std::string read_rest(FileHandle h) {
    std::string all;
    char buffer[64];
    for (;;) {
      const ReadResult r = os().read_file(h, buffer, sizeof buffer);
      EXPECT_EQ(OsError::none, r.error);
      if (r.error != OsError::none || r.count == 0) return all;
      all.append(buffer, r.count);
    }
  }
  void close(FileHandle h) { EXPECT_EQ(OsError::none, os().close_file(h)); }
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
  struct Case {
    const char* what;
    bool exists;
    Access access;
    Create create;
    OsError error;
    bool created;
    const char* after;  // the content afterwards, "(none)" for no file
  };
  const Case cases[] = {
      {"missing, read", false, Access::read, Create::must_exist, OsError::file_not_found, false,
       "(none)"},
      {"missing, write", false, Access::write, Create::must_exist, OsError::file_not_found, false,
       "(none)"},
      {"missing, exact", false, Access::read, Create::exact, OsError::file_not_found, false,
       "(none)"},
      {"missing, create", false, Access::write, Create::create_if_missing, OsError::none, true, ""},
      {"existing, create", true, Access::write, Create::create_if_missing, OsError::none, false,
       "abc"},
      {"existing, write", true, Access::write, Create::must_exist, OsError::none, false, "abc"},
      {"existing, exact private", true, Access::write, Create::exact_private, OsError::none, false,
       "abc"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file(1, static_cast<char>('a' + n++));
    if (c.exists) this->b.put(file, "abc");
    const OpenResult r = this->os().open_file(this->at(file), c.access, c.create);
    EXPECT_EQ(c.error, r.error);
    EXPECT_EQ(c.created, r.created);
    if (r.error == OsError::none) this->close(r.handle);
    EXPECT_EQ(c.after, this->content(file));
  }
}

TYPED_TEST(OsContract, WriteTruncateAndReadBack) {
  FileHandle h = this->open("f", Access::write, Create::create_if_missing);
  this->write(h, "hello world");
  this->close(h);
  h = this->open("f", Access::write, Create::must_exist);
  this->write(h, "HE");
  EXPECT_EQ(OsError::none, this->os().truncate_file(h));
  this->close(h);
  h = this->open("f", Access::read, Create::must_exist);
  EXPECT_EQ("HE", this->read_rest(h));
  this->close(h);
}

TYPED_TEST(OsContract, SetFileSizeFillsWithZerosAndKeepsThePosition) {
  const FileHandle h = this->open("f", Access::write, Create::create_if_missing);
  this->write(h, "abc");
  EXPECT_EQ(OsError::none, this->os().set_file_size(h, 6));
  this->write(h, "d");
  EXPECT_EQ(std::string("abcd\0\0", 6), this->content("f"));
  // Cut below the position: the next write leaves zeros up to it.
  EXPECT_EQ(OsError::none, this->os().set_file_size(h, 2));
  this->write(h, "e");
  this->close(h);
  EXPECT_EQ(std::string("ab\0\0e", 5), this->content("f"));
}

TYPED_TEST(OsContract, CopyDataCopiesTheRestFromBothPositions) {
  this->b.put("src", "0123456789");
  const FileHandle from = this->open("src", Access::read, Create::must_exist);
  char head[4];
  ASSERT_EQ(4u, this->os().read_file(from, head, sizeof head).count);
  const FileHandle to = this->open("dst", Access::write, Create::create_if_missing);
  this->write(to, "ab");
  EXPECT_EQ(OsError::none, this->os().copy_data(from, to));
  EXPECT_EQ("", this->read_rest(from)) << "the source is read to its end";
  this->close(from);
  this->close(to);
  EXPECT_EQ("ab456789", this->content("dst"));
}

TYPED_TEST(OsContract, NewFileBesideTakesTheTargetsPlaceOrGoesWithoutATrace) {
  for (const bool keep : {true, false}) {
    for (const bool target_exists : {true, false}) {
      SCOPED_TRACE(std::string(keep ? "kept" : "discarded") +
                   (target_exists ? ", over a file" : ", at a free name"));
      const std::string target = target_exists ? "old" : "free";
      if (target_exists) this->b.put(target, "old bytes");
      std::string temp;
      const OpenResult r = this->os().create_beside(this->at(target), /*own=*/false, temp);
      ASSERT_EQ(OsError::none, r.error);
      EXPECT_TRUE(r.created);
      this->write(r.handle, "new");
      EXPECT_EQ(OsError::none, this->os().sync_file(r.handle));
      if (keep) {
        EXPECT_EQ(OsError::none, this->os().keep_beside(r.handle, temp, this->at(target)));
      } else {
        this->os().discard_beside(r.handle, temp);
      }
      EXPECT_EQ(keep ? "new" : target_exists ? "old bytes" : "(none)", this->content(target));
      const std::vector<std::string> only{target};
      EXPECT_EQ(keep || target_exists ? only : std::vector<std::string>{}, this->b.names());
      (void)this->os().remove_file(this->at(target));
    }
  }
}

TYPED_TEST(OsContract, RenamesReplaceOnlyWhenAskedTo) {
  this->b.put("a", "A");
  this->b.put("b", "B");
  EXPECT_EQ(OsError::already_exists, this->os().rename_no_replace(this->at("a"), this->at("b")));
  EXPECT_EQ("A", this->content("a"));
  EXPECT_EQ("B", this->content("b"));
  EXPECT_EQ(OsError::none, this->os().rename_no_replace(this->at("a"), this->at("c")));
  EXPECT_EQ(OsError::file_not_found, this->os().rename_no_replace(this->at("a"), this->at("d")));
  const FileState before = this->os().path_state(this->at("b"));
  EXPECT_EQ(OsError::none, this->os().replace_name(this->at("c"), this->at("b")));
  EXPECT_EQ("A", this->content("b"));
  EXPECT_FALSE(same_file_state(this->os().path_state(this->at("b")), before));
  EXPECT_EQ(std::vector<std::string>{"b"}, this->b.names());
  EXPECT_EQ(OsError::file_not_found, this->os().replace_name(this->at("c"), this->at("b")));
}

TYPED_TEST(OsContract, RemoveFileOfAMissingNameIsFileNotFound) {
  this->b.put("f", "x");
  EXPECT_EQ(OsError::none, this->os().remove_file(this->at("f")));
  EXPECT_EQ(OsError::file_not_found, this->os().remove_file(this->at("f")));
  EXPECT_TRUE(this->b.names().empty());
}

TYPED_TEST(OsContract, StateTellsSizeKindAndAnyWriteSince) {
  EXPECT_FALSE(this->os().path_state(this->at("missing")).exists);
  EXPECT_FALSE(this->os().name_state(this->at("missing")).exists);
  this->b.put("f", "abc");
  const FileState then = this->os().path_state(this->at("f"));
  EXPECT_TRUE(then.exists);
  EXPECT_EQ(3u, then.size);
  EXPECT_TRUE(then.regular);
  EXPECT_EQ(1u, then.links);
  EXPECT_TRUE(then.mine);
  EXPECT_TRUE(then.writable);
  EXPECT_TRUE(same_file_state(this->os().path_state(this->at("f")), then));
  const FileHandle h = this->open("f", Access::write, Create::must_exist);
  EXPECT_TRUE(same_file_state(this->os().file_state(h), then)) << "an open is no write";
  EXPECT_EQ(then.id, this->os().file_id(h));
  this->write(h, "abcd");
  this->close(h);
  EXPECT_FALSE(same_file_state(this->os().path_state(this->at("f")), then));
}

TYPED_TEST(OsContract, ExactPrivateFileIsMadeForItsOwnerAlone) {
  const OpenResult r = this->os().open_file(this->at("own"), Access::write, Create::exact_private);
  ASSERT_EQ(OsError::none, r.error);
  EXPECT_TRUE(r.created);
  this->write(r.handle, "mine");
  this->close(r.handle);
  const FileState state = this->os().path_state(this->at("own"));
  EXPECT_TRUE(state.mine);
  EXPECT_FALSE(state.others_may_write);
  EXPECT_TRUE(this->b.only_owner_may_access("own"));
  const OpenResult again = this->os().open_file(this->at("own"), Access::read, Create::exact);
  ASSERT_EQ(OsError::none, again.error);
  EXPECT_EQ("mine", this->read_rest(again.handle));
  this->close(again.handle);
}

}  // namespace
