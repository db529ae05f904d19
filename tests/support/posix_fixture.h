// The fixture of the tests that run on the real POSIX backend, each in its
// own scratch directory, and the helpers they share.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "runtime/os.h"
#include "tests/support/scratch_dir.h"

namespace fs = std::filesystem;

inline Os& backend() { return native_os(0, nullptr); }

inline fs::perms mode_of(const std::string& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

inline void set_mode(const std::string& path, fs::perms mode) {
  fs::permissions(path, mode, fs::perm_options::replace);
}

/// Whether this process may create files where the permissions forbid it
/// (root), which makes a directory without write access no obstacle.
inline bool privileged(const ScratchDir& scratch) {
  const std::string locked = scratch.file("locked");
  fs::create_directory(locked);
  set_mode(locked, fs::perms::owner_read | fs::perms::owner_exec);
  const bool wrote = std::ofstream(locked + "/probe").good();
  set_mode(locked, fs::perms::owner_all);
  fs::remove_all(locked);
  return wrote;
}

/// Sets or removes an environment variable for the lifetime of the guard.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class PosixOs : public ::testing::Test {
 protected:
  // The replacement layer above the seam runs on the real backend here.
  void SetUp() override { set_os(&os_); }
  void TearDown() override { set_os(nullptr); }

  ScratchDir scratch;
  Os& os_ = backend();

  std::string path(const std::string& name) const { return scratch.file(name); }
};

