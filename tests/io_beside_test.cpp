// Reading ahead and writing behind on a worker: the same calls, in the same
// order, as the taker or the giver would make them itself; and the console
// records that wait for the writes handed over before them.
#include "runtime/io_beside.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "runtime/console.h"
#include "runtime/test_seam.h"
#include "tests/support/fake_os.h"

namespace {

class IoBeside : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.threads = true;
    reset_console();
  }
  FakeOs fake;
  FakeOsScope scope{fake};

  FileHandle open(const std::string& name, Access access) {
    const OpenResult r = fake.open_file(name, access, Create::create_if_missing);
    EXPECT_EQ(OsError::none, r.error);
    return r.handle;
  }
  static std::unique_ptr<char[]> piece(const std::string& text) {
    auto storage = std::make_unique<char[]>(16);
    std::memcpy(storage.get(), text.data(), text.size());
    return storage;
  }
};

TEST_F(IoBeside, ReadAheadGivesTheBlocksInOrderThenTheEndAgainAndAgain) {
  fake.files["in"] = "abcdefghij";
  fake.read_chunk = 4;
  const FileHandle in = open("in", Access::read);
  std::unique_ptr<ReadAhead> ahead = ReadAhead::start(fake, in, 8, 2, 4, 2);
  ASSERT_NE(nullptr, ahead);
  auto storage = std::make_unique<char[]>(8);
  std::string got;
  for (ReadResult r = ahead->take(storage); r.count > 0; r = ahead->take(storage)) {
    ASSERT_EQ(OsError::none, r.error);
    got.append(storage.get() + 2, r.count);
  }
  EXPECT_EQ("abcdefghij", got);
  EXPECT_EQ(0u, ahead->take(storage).count) << "the end stays the end";
  ahead.reset();
  (void)fake.close_file(in);
}

TEST_F(IoBeside, WriteBehindWritesInOrderAndStopsAtTheFirstFailure) {
  const FileHandle out = open("out", Access::write);
  std::unique_ptr<WriteBehind> behind = WriteBehind::start(fake, 16, 2);
  ASSERT_NE(nullptr, behind);
  for (const char* text : {"one ", "two ", "three"}) {
    auto storage = piece(text);
    ASSERT_EQ(OsError::none, behind->hand_over(out, storage, std::strlen(text)));
  }
  EXPECT_EQ(OsError::none, behind->settle());
  EXPECT_EQ("one two three", fake.files["out"]);

  fake.fail_next("write", "out", OsError::disk_full);
  auto storage = piece("four");
  ASSERT_EQ(OsError::none, behind->hand_over(out, storage, 4));
  EXPECT_EQ(OsError::disk_full, behind->settle());
  storage = piece("five");
  EXPECT_EQ(OsError::disk_full, behind->hand_over(out, storage, 4)) << "nothing after a failure";
  EXPECT_EQ("one two three", fake.files["out"]);
  behind.reset();
  (void)fake.close_file(out);
}

TEST_F(IoBeside, ConsoleRecordsWaitForTheWritesBeforeThemAndGoWithAFailedOne) {
  const FileHandle out = open("out", Access::write);
  std::unique_ptr<WriteBehind> behind = WriteBehind::start(fake, 16, 2);
  ASSERT_NE(nullptr, behind);
  behind->print_after_writes(" .", LineEnd::stays_open);
  EXPECT_EQ(".", fake.out) << "nothing handed over: printed at once";

  fake.hold_writes(true);
  auto storage = piece("one");
  ASSERT_EQ(OsError::none, behind->hand_over(out, storage, 3));
  behind->print_after_writes(".", LineEnd::stays_open);
  EXPECT_EQ(".", fake.out) << "printed before its write was made";
  fake.hold_writes(false);
  EXPECT_EQ(OsError::none, behind->settle());
  EXPECT_EQ("..", fake.out);

  fake.fail_next("write", "out", OsError::disk_full);
  storage = piece("two");
  ASSERT_EQ(OsError::none, behind->hand_over(out, storage, 3));
  behind->print_after_writes(".", LineEnd::stays_open);
  EXPECT_EQ(OsError::disk_full, behind->settle());
  EXPECT_EQ("..", fake.out) << "held for a write that failed";
  behind.reset();
  (void)fake.close_file(out);
}

}  // namespace
