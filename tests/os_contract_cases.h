// Contract cases that hold on every backend of os.h, written against a few
// check macros so that they run both in the test binary (OsContract in
// tests/os_contract_test.cpp, on the fake and the POSIX backend) and in the
// small program that scripts/test-windows.sh runs under Wine against the
// Windows backend (tests/os_contract_win.cpp), where no test framework is.
//
// The includer defines CONTRACT_EQ(a, b), CONTRACT_TRUE(c), CONTRACT_FALSE(c),
// CONTRACT_REQUIRE_EQ(a, b) (which leaves the case when it fails) and
// CONTRACT_TRACE(text) (a note for the failures in its scope). A case takes a
// context `t` that gives os(), at(name) (the name the backend is handed),
// put(name, bytes), content(name) ("(none)" for no file), names() (the
// directory's, sorted) and only_owner_may_access(name), and the steps below.
#pragma once

#include <string>
#include <vector>

#include "runtime/os.h"

namespace contract {

/// The steps the cases take, each checked, on the context's os().
template <class Context>
struct Steps {
  FileHandle open(const std::string& n, Access access, Create create) {
    CONTRACT_TRACE(n);
    const OpenResult r = self().os().open_file(self().at(n), access, create);
    CONTRACT_EQ(OsError::none, r.error);
    return r.handle;
  }
  void write(FileHandle h, const std::string& bytes) {
    CONTRACT_EQ(OsError::none, self().os().write_file(h, bytes.data(), bytes.size()));
  }
  std::string read_rest(FileHandle h) {
    std::string all;
    char buffer[64];
    for (;;) {
      const ReadResult r = self().os().read_file(h, buffer, sizeof buffer);
      CONTRACT_EQ(OsError::none, r.error);
      if (r.error != OsError::none || r.count == 0) return all;
      all.append(buffer, r.count);
    }
  }
  void close(FileHandle h) { CONTRACT_EQ(OsError::none, self().os().close_file(h)); }

 private:
  Context& self() { return static_cast<Context&>(*this); }
};

template <class T>
void open_creates_only_what_it_is_asked_to_and_never_touches_content(T& t) {
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
    CONTRACT_TRACE(c.what);
    const std::string file(1, static_cast<char>('a' + n++));
    if (c.exists) t.put(file, "abc");
    const OpenResult r = t.os().open_file(t.at(file), c.access, c.create);
    CONTRACT_EQ(c.error, r.error);
    CONTRACT_EQ(c.created, r.created);
    if (r.error == OsError::none) t.close(r.handle);
    CONTRACT_EQ(c.after, t.content(file));
  }
}

template <class T>
void write_truncate_and_read_back(T& t) {
  FileHandle h = t.open("f", Access::write, Create::create_if_missing);
  t.write(h, "hello world");
  t.close(h);
  h = t.open("f", Access::write, Create::must_exist);
  t.write(h, "HE");
  CONTRACT_EQ(OsError::none, t.os().truncate_file(h));
  t.close(h);
  h = t.open("f", Access::read, Create::must_exist);
  CONTRACT_EQ("HE", t.read_rest(h));
  t.close(h);
}

template <class T>
void set_file_size_fills_with_zeros_and_keeps_the_position(T& t) {
  const FileHandle h = t.open("f", Access::write, Create::create_if_missing);
  t.write(h, "abc");
  CONTRACT_EQ(OsError::none, t.os().set_file_size(h, 6));
  t.write(h, "d");
  CONTRACT_EQ(std::string("abcd\0\0", 6), t.content("f"));
  // Cut below the position: the next write leaves zeros up to it.
  CONTRACT_EQ(OsError::none, t.os().set_file_size(h, 2));
  t.write(h, "e");
  t.close(h);
  CONTRACT_EQ(std::string("ab\0\0e", 5), t.content("f"));
}

template <class T>
void copy_data_copies_the_rest_from_both_positions(T& t) {
  t.put("src", "0123456789");
  const FileHandle from = t.open("src", Access::read, Create::must_exist);
  char head[4];
  CONTRACT_REQUIRE_EQ(4u, t.os().read_file(from, head, sizeof head).count);
  const FileHandle to = t.open("dst", Access::write, Create::create_if_missing);
  t.write(to, "ab");
  CONTRACT_EQ(OsError::none, t.os().copy_data(from, to));
  CONTRACT_EQ("", t.read_rest(from));  // the source is read to its end
  t.close(from);
  t.close(to);
  CONTRACT_EQ("ab456789", t.content("dst"));
}

template <class T>
void new_file_beside_takes_the_targets_place_or_goes_without_a_trace(T& t) {
  for (const bool own : {false, true}) {
    for (const bool keep : {true, false}) {
      for (const bool target_exists : {true, false}) {
        CONTRACT_TRACE(std::string(own ? "own, " : "") + (keep ? "kept" : "discarded") +
                       (target_exists ? ", over a file" : ", at a free name"));
        const std::string target = target_exists ? "old" : "free";
        if (target_exists) t.put(target, "old bytes");
        std::string temp;
        const OpenResult r = t.os().create_beside(t.at(target), own, temp);
        CONTRACT_REQUIRE_EQ(OsError::none, r.error);
        CONTRACT_TRUE(r.created);
        t.write(r.handle, "new");
        CONTRACT_EQ(OsError::none, t.os().sync_file(r.handle));
        if (keep) {
          CONTRACT_EQ(OsError::none, t.os().keep_beside(r.handle, temp, t.at(target)));
        } else {
          t.os().discard_beside(r.handle, temp);
        }
        CONTRACT_EQ(keep ? "new" : target_exists ? "old bytes" : "(none)", t.content(target));
        const std::vector<std::string> only{target};
        CONTRACT_EQ(keep || target_exists ? only : std::vector<std::string>{}, t.names());
        if (own && keep) {
          CONTRACT_TRUE(t.only_owner_may_access(target));
        }
        (void)t.os().remove_file(t.at(target));
      }
    }
  }
}

template <class T>
void renames_replace_only_when_asked_to(T& t) {
  t.put("a", "A");
  t.put("b", "B");
  CONTRACT_EQ(OsError::already_exists, t.os().rename_no_replace(t.at("a"), t.at("b")));
  CONTRACT_EQ("A", t.content("a"));
  CONTRACT_EQ("B", t.content("b"));
  CONTRACT_EQ(OsError::none, t.os().rename_no_replace(t.at("a"), t.at("c")));
  CONTRACT_EQ(OsError::file_not_found, t.os().rename_no_replace(t.at("a"), t.at("d")));
  const FileState before = t.os().path_state(t.at("b"));
  CONTRACT_EQ(OsError::none, t.os().replace_name(t.at("c"), t.at("b")));
  CONTRACT_EQ("A", t.content("b"));
  CONTRACT_FALSE(same_file_state(t.os().path_state(t.at("b")), before));
  CONTRACT_EQ(std::vector<std::string>{"b"}, t.names());
  CONTRACT_EQ(OsError::file_not_found, t.os().replace_name(t.at("c"), t.at("b")));
}

template <class T>
void remove_file_of_a_missing_name_is_file_not_found(T& t) {
  t.put("f", "x");
  CONTRACT_EQ(OsError::none, t.os().remove_file(t.at("f")));
  CONTRACT_EQ(OsError::file_not_found, t.os().remove_file(t.at("f")));
  CONTRACT_TRUE(t.names().empty());
}

template <class T>
void state_tells_size_kind_and_any_write_since(T& t) {
  CONTRACT_FALSE(t.os().path_state(t.at("missing")).exists);
  CONTRACT_FALSE(t.os().name_state(t.at("missing")).exists);
  t.put("f", "abc");
  const FileState then = t.os().path_state(t.at("f"));
  CONTRACT_TRUE(then.exists);
  CONTRACT_EQ(3u, then.size);
  CONTRACT_TRUE(then.regular);
  CONTRACT_EQ(1u, then.links);
  CONTRACT_TRUE(then.mine);
  CONTRACT_TRUE(then.writable);
  CONTRACT_TRUE(same_file_state(t.os().path_state(t.at("f")), then));
  const FileHandle h = t.open("f", Access::write, Create::must_exist);
  CONTRACT_TRUE(same_file_state(t.os().file_state(h), then));  // an open is no write
  CONTRACT_EQ(then.id, t.os().file_id(h));
  t.write(h, "abcd");
  t.close(h);
  CONTRACT_FALSE(same_file_state(t.os().path_state(t.at("f")), then));
}

template <class T>
void exact_private_file_is_made_for_its_owner_alone(T& t) {
  const OpenResult r = t.os().open_file(t.at("own"), Access::write, Create::exact_private);
  CONTRACT_REQUIRE_EQ(OsError::none, r.error);
  CONTRACT_TRUE(r.created);
  t.write(r.handle, "mine");
  t.close(r.handle);
  const FileState state = t.os().path_state(t.at("own"));
  CONTRACT_TRUE(state.mine);
  CONTRACT_FALSE(state.others_may_write);
  CONTRACT_TRUE(t.only_owner_may_access("own"));
  const OpenResult again = t.os().open_file(t.at("own"), Access::read, Create::exact);
  CONTRACT_REQUIRE_EQ(OsError::none, again.error);
  CONTRACT_EQ("mine", t.read_rest(again.handle));
  t.close(again.handle);
}

template <class T>
void writes_through_another_handle_are_seen(T& t) {
  t.put("plot", "abc");
  const FileHandle h = t.open("plot", Access::read, Create::must_exist);
  t.os().watch_writes(h);
  CONTRACT_TRUE(t.os().writers(h) == Writers::none);
  const FileHandle w = t.open("plot", Access::write, Create::must_exist);
  CONTRACT_TRUE(t.os().writers(h) == Writers::some);  // held open for writing
  t.write(w, "x");
  t.close(w);
  CONTRACT_TRUE(t.os().writers(h) == Writers::some);  // written since the watch
  t.close(h);
}

}  // namespace contract
