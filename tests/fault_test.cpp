// Fault injection over whole runs: every operating-system call of a run fails
// in turn, with each error a disk gives, and what the run leaves behind is
// checked against the driver's table of ends. The promise: the plot file is
// the old one or the new one, whole; feedfix.ini holds a complete form, old or
// new; nothing is left beside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "hilfen/feedfix/driver.h"
#include "runtime/console.h"
#include "runtime/record_file.h"
#include "runtime/test_seam.h"
#include "tests/support/fake_os.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/tool_files.h"

namespace {

const std::string k_plot = "plot.plt";

const std::string k_default_form = "15574\r\n0\r\n";

// ---------------------------------------------------------------------------
// Running the tool and reading what it left

struct RunEnd {
  int status = -1;
  std::string out;  // what the tool handed to standard output, refused or not
  std::string err;
};

RunEnd run_tool(FakeOs& fake, const std::vector<std::string>& arguments) {
  fake.args = {"feedfix"};
  fake.args.insert(fake.args.end(), arguments.begin(), arguments.end());
  RunEnd end;
  {
    FakeOsScope scope(fake);
    try {
      end_process(feedfix_main());
    } catch (const ProcessExit& exit) {
      end.status = exit.status;
    }
  }
  end.out = fake.out_tried;
  end.err = fake.err;
  return end;
}

/// How the run ended: "fatal" (the record-file layer's report, status 1),
/// "OK" (the normal end), or the message of the stop.
std::string end_of(const RunEnd& end) {
  if (end.status == 1) return "fatal";
  if (end.status != 0) return "status " + std::to_string(end.status);
  const std::string ok = " OK\r\n";  // "  OK" on the progress line, " OK" on a new one
  if (end.out.size() >= ok.size() &&
      end.out.compare(end.out.size() - ok.size(), ok.size(), ok) == 0) {
    return "OK";
  }
  // A stop ends with its message, CR LF, and the line end of the process end.
  const std::string tail = "\r\n\r\n";
  if (end.out.size() < tail.size() ||
      end.out.compare(end.out.size() - tail.size(), tail.size(), tail) != 0) {
    return "unterminated: " + end.out;
  }
  const std::string body = end.out.substr(0, end.out.size() - tail.size());
  const std::size_t start = body.rfind("\r\n");
  return start == std::string::npos ? body : body.substr(start + 2);
}

// ---------------------------------------------------------------------------
// Scenarios and the table of expected ends

enum class Plot { old, fresh, once };
// `once`: as the stopped run before it left them, finished by this run.
enum class Ini { old, fresh, defaults, absent, once };
enum class Temp { absent, partial, whole, old, once };

const char* name_of(Plot p) {
  return p == Plot::old ? "old" : p == Plot::fresh ? "new" : "once corrected";
}
const char* name_of(OsError e) {
  switch (e) {
    case OsError::disk_full:
      return "disk_full";
    case OsError::io_error:
      return "io_error";
    case OsError::access_denied:
      return "access_denied";
    case OsError::write_protect:
      return "write_protect";
    default:
      return "other";
  }
}

constexpr OsError k_disk_errors[] = {OsError::disk_full, OsError::io_error, OsError::access_denied,
                                     OsError::write_protect};

/// Which of the four errors a row applies to.
enum Errors : unsigned {
  k_any = 0xF,
  k_refusals = 1u << 0 | 1u << 2,     // disk_full, access_denied: a console write refused for good
  k_passed_over = 1u << 1 | 1u << 3,  // io_error, write_protect
  k_not_denied = 0xF & ~(1u << 2),
  k_denied = 1u << 2,
};

unsigned bit_of(OsError e) {
  switch (e) {
    case OsError::disk_full:
      return 1u << 0;
    case OsError::io_error:
      return 1u << 1;
    case OsError::access_denied:
      return 1u << 2;
    case OsError::write_protect:
      return 1u << 3;
    default:
      return 0;
  }
}

/// What must hold after one failure point: how the run ended and what each
/// file holds.
struct Expected {
  std::string end;
  Plot plot;
  Ini ini;
  Temp temp;
  // The intent record stays for the next run: the process ended between the
  // replacement of the plot file and the write-back of the settings.
  bool intent = false;
};

/// One row: the failing call ("<operation> <name>#<n>", the n-th such call of
/// the run), the errors it applies to, and the outcome. The first row that
/// matches counts. The rows spell the file names out, as the fake's call log
/// does: a table of "open " + k_temp + "#2" would hide the calls it lists.
struct Row {
  std::string call;
  unsigned errors;
  Expected expected;
};

struct Scenario {
  std::string name;
  std::map<std::string, std::string> files;  // before the run
  std::vector<std::string> arguments;
  std::size_t read_chunk;
  std::string new_plot;
  std::string new_ini;
  std::string temp_text;  // what ~ffx.log holds when the loop has written all
  bool no_moves = false;  // ~ffx.log cannot be renamed over the plot: it is copied
  // Before the run: a run on `files` stopped at its first call of this name
  // ("<operation> <name>"; empty: none).
  std::string stopped_at;
  std::string once_plot;  // the plot and settings as that run would have left them
  std::string once_ini;
  Expected clean;         // the run without any failure
  std::vector<Row> rows;
};

const std::string k_plot_old =
    "PG;   9000,0;\r\nPU1200,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";
const std::string k_plot_new = "PG;8804,0;\r\nPU1646,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";
const std::string k_plot_quiet = "IN;\r\nPG;   16000,0;\r\n";
const std::string k_settings_old_form = "15574\r\n250\r\n";

const std::string k_stop_plot = "Cannot open plot file.";
const std::string k_stop_temp = "Cannot open temporary file.";
const std::string k_stop_rw = "Error on reading or writing.";
const std::string k_stop_cleanup = "Error on cleaning up plot files.";
const std::string k_stop_ini_write = "INI-file not opened (for writing).";
const std::string k_stop_ini_use = "INI-file cannot be used.";
const std::string k_stop_ini_created = "INI-file not found. Default file created.";
const std::string k_stop_reset = "Ini file resetted. Shift length set to zero.";

std::vector<Scenario> scenarios() {
  std::vector<Scenario> list;

  // A run that rewrites records: read in small pieces, so that a read can
  // fail in the middle of the plot file.
  {
    Scenario s;
    s.name = "records change";
    s.files = {{k_settings, "15574\r\n250\r\n"}, {k_plot, k_plot_old}};
    s.arguments = {k_plot};
    s.read_chunk = 16;
    s.new_plot = k_plot_new;
    s.new_ini = "     15574\r\n       446\r\n";
    s.temp_text = k_plot_new;
    s.clean = {"OK", Plot::fresh, Ini::fresh, Temp::absent};
    s.rows = {
        // The banner: a console refused for good ends the run before any file.
        {"stdout #1", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #2", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #3", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #4", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        // The progress line and the page dots: the partial ~ffx.log stays.
        {"stdout #5", k_refusals, {"fatal", Plot::old, Ini::old, Temp::partial}},
        {"stdout #6", k_refusals, {"fatal", Plot::old, Ini::old, Temp::partial}},
        {"stdout #7", k_refusals, {"fatal", Plot::old, Ini::old, Temp::partial}},
        {"stdout #8", k_refusals, {"fatal", Plot::old, Ini::old, Temp::partial}},
        // " OK": both files are closed, the changed ~ffx.log is whole; the
        // plot file is not touched yet, and the next run corrects it anew.
        {"stdout #9", k_refusals, {"fatal", Plot::old, Ini::old, Temp::whole}},
        // Every other console failure is passed over; so is every failure of
        // the line end at the process end.
        {"stdout", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // Any failure to open the settings file for reading counts as a
        // missing file: the defaults are written and the run ends.
        {"open feedfix.ini#1", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        // A read that the system refuses is no missing record.
        {"read feedfix.ini", k_any, {k_stop_ini_use, Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini#1", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"open plot.plt", k_any, {k_stop_plot, Plot::old, Ini::old, Temp::absent}},
        // A record that is not the user's own is passed over; one that
        // cannot be read may hold the only whole copy's name: nothing is done.
        {"open ~ffx.jnl#1", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"open ~ffx.jnl#1", k_any, {k_stop_cleanup, Plot::old, Ini::old, Temp::absent}},
        // ~ffx.log, written whole, must be durable before anything names it.
        {"open ~ffx.log#2", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::whole}},
        {"sync ~ffx.log#1", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::whole}},
        {"close ~ffx.log#2", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // The rename of ~ffx.log over the plot file: where any step of it
        // fails, the corrected plot is copied beside the plot file instead.
        {"open ~ffx.log#3", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"adopt plot.plt", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"sync ~ffx.log#2", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"close ~ffx.log#3", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"rename plot.plt", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"open ~ffx.log", k_any, {k_stop_temp, Plot::old, Ini::old, Temp::absent}},
        {"read plot.plt", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::partial}},
        {"write ~ffx.log", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::partial}},
        {"close plot.plt", k_any, {"fatal", Plot::old, Ini::old, Temp::whole}},
        // The settings file's new contents could not be given its identity
        // or made durable: the old settings stay, and the record lets the
        // next run write them back.
        {"adopt feedfix.ini", k_any, {"fatal", Plot::fresh, Ini::old, Temp::absent, true}},
        {"sync feedfix.ini.new0", k_any, {"fatal", Plot::fresh, Ini::old, Temp::absent, true}},
        // A created file whose close fails is removed.
        {"close ~ffx.log", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        // A run that cannot run alone goes on unlocked.
        {"lock", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // Without the intent record a rename, which cannot tear the plot
        // file, is still made.
        {"create ~ffx.jnl", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"replace ~ffx.jnl", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"write ~ffx.jnl.new0", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"sync ~ffx.jnl.new0", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // Where ~ffx.log cannot be renamed over the plot file, it is copied.
        // A record whose removal failed stays; the next run removes it.
        {"remove ~ffx.jnl", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"open feedfix.ini#2", k_any, {k_stop_ini_write, Plot::fresh, Ini::old, Temp::absent}},
        // No new file beside it: the settings file is rewritten in place.
        {"create feedfix.ini", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"create feedfix.ini", k_any, {k_stop_ini_write, Plot::fresh, Ini::old, Temp::absent}},
        // The old handle, never written, is closed when the new file starts.
        {"close feedfix.ini#2", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // A fatal end between the replacement and the write-back: the intent
        // record lets the next run write the settings back.
        {"write feedfix.ini.new0", k_any, {"fatal", Plot::fresh, Ini::old, Temp::absent, true}},
        {"replace feedfix.ini", k_any, {"fatal", Plot::fresh, Ini::old, Temp::absent, true}},
    };
    list.push_back(s);
  }

  // A run that changes nothing: ~ffx.log goes at close, the settings file
  // is rewritten in the write-back form. A leftover ~ffx.log from an earlier
  // failed run is rewritten through a new file beside it.
  {
    Scenario s;
    s.name = "nothing changes, leftover temporary file";
    s.files = {{k_settings, "15574\r\n0\r\n"}, {k_plot, k_plot_quiet}, {k_temp, "leftover\r\n"}};
    s.arguments = {k_plot};
    s.read_chunk = static_cast<std::size_t>(-1);
    s.new_plot = k_plot_quiet;
    s.new_ini = "     15574\r\n         0\r\n";
    s.temp_text = k_plot_quiet;
    s.clean = {"OK", Plot::old, Ini::fresh, Temp::absent};
    s.rows = {
        {"stdout #1", k_refusals, {"fatal", Plot::old, Ini::old, Temp::old}},
        {"stdout #2", k_refusals, {"fatal", Plot::old, Ini::old, Temp::old}},
        {"stdout #3", k_refusals, {"fatal", Plot::old, Ini::old, Temp::old}},
        {"stdout #4", k_refusals, {"fatal", Plot::old, Ini::old, Temp::old}},
        // A fatal end puts no new contents in place: the leftover stays as it was.
        {"stdout #5", k_refusals, {"fatal", Plot::old, Ini::old, Temp::old}},
        // After the first record ~ffx.log is cut and holds what was written.
        {"stdout #6", k_refusals, {"fatal", Plot::old, Ini::old, Temp::partial}},
        // " OK": ~ffx.log, unchanged, was deleted at close.
        {"stdout #7", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout", k_any, {"OK", Plot::old, Ini::fresh, Temp::absent}},
        {"open feedfix.ini#1", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::old}},
        {"read feedfix.ini", k_any, {k_stop_ini_use, Plot::old, Ini::old, Temp::old}},
        {"close feedfix.ini#1", k_any, {"fatal", Plot::old, Ini::old, Temp::old}},
        {"open plot.plt", k_any, {k_stop_plot, Plot::old, Ini::old, Temp::old}},
        {"open ~ffx.jnl#1", k_denied, {"OK", Plot::old, Ini::fresh, Temp::absent}},
        {"open ~ffx.jnl#1", k_any, {k_stop_cleanup, Plot::old, Ini::old, Temp::old}},
        {"open ~ffx.log", k_any, {k_stop_temp, Plot::old, Ini::old, Temp::old}},
        // The records read before a failed read replace the leftover, as
        // they would stand in a new ~ffx.log; before the first, it stays.
        {"read plot.plt#1", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::old}},
        {"read plot.plt", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::partial}},
        {"lock", k_any, {"OK", Plot::old, Ini::fresh, Temp::absent}},
        // ~ffx.log is cut where it stands at the first write.
        {"truncate ~ffx.log", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::old}},
        {"write ~ffx.log", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::partial}},
        {"close plot.plt", k_any, {"fatal", Plot::old, Ini::old, Temp::partial}},
        // The close that deletes it: the file goes before the report.
        {"close ~ffx.log", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        // Only a refused removal counts.
        {"remove ~ffx.log", k_denied, {"fatal", Plot::old, Ini::old, Temp::whole}},
        {"remove ~ffx.log", k_any, {"OK", Plot::old, Ini::fresh, Temp::whole}},
        {"open feedfix.ini#2", k_any, {k_stop_ini_write, Plot::old, Ini::old, Temp::absent}},
        {"create feedfix.ini", k_denied, {"OK", Plot::old, Ini::fresh, Temp::absent}},
        {"create feedfix.ini", k_any, {k_stop_ini_write, Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini#2", k_any, {"OK", Plot::old, Ini::fresh, Temp::absent}},
        {"write feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"adopt feedfix.ini", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"sync feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"replace feedfix.ini", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
    };
    list.push_back(s);
  }

  // A plot far larger than a unit's buffer: ~ffx.log is written in several
  // pieces, and a write can fail, or tear, in the middle of the file.
  {
    Scenario s;
    s.name = "large plot";
    std::string plot;
    std::string rewritten;
    for (int i = 0; plot.size() < 200000; ++i) {
      plot += "PD" + std::to_string(1000 + i % 9000) + ",3400;\r\n";
      rewritten += "PD" + std::to_string(1250 + i % 9000) + ",3400;\r\n";
    }
    s.files = {{k_settings, "15574\r\n250\r\n"}, {k_plot, plot}};
    s.arguments = {k_plot};
    s.read_chunk = static_cast<std::size_t>(-1);
    s.new_plot = rewritten;
    s.new_ini = "     15574\r\n       250\r\n";
    s.temp_text = rewritten;
    s.no_moves = true;
    s.clean = {"OK", Plot::fresh, Ini::fresh, Temp::absent};
    s.rows = {
        {"stdout #1", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #2", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #3", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #4", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #5", k_refusals, {"fatal", Plot::old, Ini::old, Temp::partial}},
        {"stdout #6", k_refusals, {"fatal", Plot::old, Ini::old, Temp::whole}},
        {"stdout", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"open feedfix.ini#1", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        {"read feedfix.ini", k_any, {k_stop_ini_use, Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini#1", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"open plot.plt", k_any, {k_stop_plot, Plot::old, Ini::old, Temp::absent}},
        {"open ~ffx.jnl#1", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"open ~ffx.jnl#1", k_any, {k_stop_cleanup, Plot::old, Ini::old, Temp::absent}},
        {"open ~ffx.log#2", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::whole}},
        {"sync ~ffx.log", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::whole}},
        {"close ~ffx.log#2", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // ~ffx.log, on another volume, cannot be renamed: the copy beside
        // the plot file reads it once more.
        {"open ~ffx.log#3", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        {"copy plot.plt.new0", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        {"close ~ffx.log#3", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // The plot file's identity that cannot be given, or a sync refused:
        // copied into the plot file itself instead.
        {"adopt plot.plt", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"adopt plot.plt", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        {"sync plot.plt.new0#2", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"adopt feedfix.ini", k_any, {"fatal", Plot::fresh, Ini::old, Temp::whole, true}},
        {"sync feedfix.ini.new0", k_any, {"fatal", Plot::fresh, Ini::old, Temp::whole, true}},
        {"open ~ffx.log", k_any, {k_stop_temp, Plot::old, Ini::old, Temp::absent}},
        {"read plot.plt", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::partial}},
        {"write ~ffx.log", k_any, {k_stop_rw, Plot::old, Ini::old, Temp::partial}},
        {"close plot.plt", k_any, {"fatal", Plot::old, Ini::old, Temp::whole}},
        {"close ~ffx.log", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"lock", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"create ~ffx.jnl", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"replace ~ffx.jnl", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"write ~ffx.jnl.new0", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"sync ~ffx.jnl.new0", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        // No new file can take the plot file's place: it is rewritten in
        // place, under the record. Any other failure of the copy beside
        // leaves the plot file whole: the record goes.
        {"create plot.plt", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"create plot.plt", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        {"write plot.plt.new0", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        {"sync plot.plt.new0", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        {"replace plot.plt", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"replace plot.plt", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        // A failed copy leaves the plot file whole: the record goes.
        {"copy plot.plt", k_any, {k_stop_cleanup, Plot::old, Ini::fresh, Temp::whole}},
        // ~ffx.log, copied, goes only after the record.
        {"remove ~ffx.log", k_any, {k_stop_cleanup, Plot::fresh, Ini::fresh, Temp::whole}},
        {"remove ~ffx.jnl", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"open feedfix.ini#2", k_any, {k_stop_ini_write, Plot::fresh, Ini::old, Temp::absent}},
        {"create feedfix.ini", k_denied, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"create feedfix.ini", k_any, {k_stop_ini_write, Plot::fresh, Ini::old, Temp::absent}},
        {"close feedfix.ini#2", k_any, {"OK", Plot::fresh, Ini::fresh, Temp::absent}},
        {"write feedfix.ini.new0", k_any, {"fatal", Plot::fresh, Ini::old, Temp::whole, true}},
        {"replace feedfix.ini", k_any, {"fatal", Plot::fresh, Ini::old, Temp::whole, true}},
    };
    list.push_back(s);
  }

  // A run stopped right before its plot file was replaced left ~ffx.log and
  // the intent record: this run first finishes that replacement and its
  // write-back, then corrects the corrected plot with the shift it carries.
  {
    Scenario s;
    s.name = "interrupted replacement";
    s.files = {{k_settings, "15574\r\n250\r\n"}, {k_plot, k_plot_old}};
    s.arguments = {k_plot};
    s.read_chunk = static_cast<std::size_t>(-1);
    s.stopped_at = "rename plot.plt";
    s.once_plot = k_plot_new;
    s.once_ini = "     15574\r\n       446\r\n";
    s.new_plot = "PG;8800,0;\r\nPU2096,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";
    s.new_ini = "     15574\r\n       450\r\n";
    s.temp_text = s.new_plot;
    s.clean = {"OK", Plot::fresh, Ini::fresh, Temp::absent};
    const Expected clean = s.clean;
    const Expected nothing_done = {"fatal", Plot::old, Ini::old, Temp::once, true};
    const Expected cannot_finish = {k_stop_cleanup, Plot::old, Ini::old, Temp::once, true};
    const Expected no_write_back = {k_stop_ini_write, Plot::once, Ini::old, Temp::absent};
    s.rows = {
        // Before the record is read: nothing is done.
        {"stdout #1", k_refusals, nothing_done},
        {"stdout #2", k_refusals, nothing_done},
        {"stdout #3", k_refusals, nothing_done},
        {"stdout #4", k_refusals, nothing_done},
        {"lock", k_any, clean},
        // A record that cannot be read: ~ffx.log may be the only whole copy.
        // A record refused as not the user's own is passed over: this run
        // corrects the old plot file with the old shift.
        {"open ~ffx.jnl#1", k_denied, {"OK", Plot::once, Ini::once, Temp::absent}},
        {"open ~ffx.jnl#1", k_any, cannot_finish},
        {"read ~ffx.jnl", k_any, cannot_finish},
        {"close ~ffx.jnl", k_any, clean},
        // The record rewritten for the replacement, and this run's own:
        // where they fail, the rename is made without them.
        {"create ~ffx.jnl", k_any, clean},
        {"replace ~ffx.jnl", k_any, clean},
        {"write ~ffx.jnl.new0", k_any, clean},
        {"sync ~ffx.jnl.new0", k_any, clean},
        // The stopped run's rename, made again: where a step of it fails,
        // the corrected plot is copied beside the plot file instead.
        {"open ~ffx.log#1", k_any, clean},
        {"adopt plot.plt#1", k_any, clean},
        {"sync ~ffx.log#1", k_any, clean},
        {"close ~ffx.log#1", k_any, clean},
        // The replacement, by a copy where the rename fails.
        {"rename plot.plt#1", k_any, clean},
        // The write-back of the stopped run's settings.
        {"open feedfix.ini#1", k_any, no_write_back},
        {"create feedfix.ini#1", k_denied, clean},
        {"create feedfix.ini#1", k_any, no_write_back},
        {"close feedfix.ini#1", k_any, clean},
        {"write feedfix.ini.new0#1", k_any, {"fatal", Plot::once, Ini::old, Temp::absent, true}},
        {"adopt feedfix.ini#1", k_any, {"fatal", Plot::once, Ini::old, Temp::absent, true}},
        {"sync feedfix.ini.new0#1", k_any, {"fatal", Plot::once, Ini::old, Temp::absent, true}},
        {"replace feedfix.ini#1", k_any, {"fatal", Plot::once, Ini::old, Temp::absent, true}},
        {"remove ~ffx.jnl#1", k_any, clean},
        // This run's own work on the plot the stopped run corrected.
        {"open feedfix.ini#2", k_any, {k_stop_ini_created, Plot::once, Ini::defaults, Temp::absent}},
        {"read feedfix.ini", k_any, {k_stop_ini_use, Plot::once, Ini::once, Temp::absent}},
        {"close feedfix.ini#2", k_any, {"fatal", Plot::once, Ini::once, Temp::absent}},
        {"open plot.plt", k_any, {k_stop_plot, Plot::once, Ini::once, Temp::absent}},
        {"open ~ffx.log#2", k_any, {k_stop_temp, Plot::once, Ini::once, Temp::absent}},
        // ~ffx.log made durable before anything names it.
        {"open ~ffx.log#3", k_any, {k_stop_rw, Plot::once, Ini::once, Temp::whole}},
        {"sync ~ffx.log#2", k_any, {k_stop_rw, Plot::once, Ini::once, Temp::whole}},
        {"close ~ffx.log#3", k_any, clean},
        // This run's own rename; where a step fails, a copy beside.
        {"open ~ffx.log#4", k_any, clean},
        {"adopt plot.plt#2", k_any, clean},
        {"sync ~ffx.log#3", k_any, clean},
        {"close ~ffx.log#4", k_any, clean},
        {"adopt feedfix.ini#2", k_any, {"fatal", Plot::fresh, Ini::once, Temp::absent, true}},
        {"sync feedfix.ini.new0#2", k_any, {"fatal", Plot::fresh, Ini::once, Temp::absent, true}},
        {"stdout #5", k_refusals, {"fatal", Plot::once, Ini::once, Temp::partial}},
        {"stdout #6", k_refusals, {"fatal", Plot::once, Ini::once, Temp::partial}},
        {"stdout #7", k_refusals, {"fatal", Plot::once, Ini::once, Temp::partial}},
        {"stdout #8", k_refusals, {"fatal", Plot::once, Ini::once, Temp::partial}},
        {"read plot.plt", k_any, {k_stop_rw, Plot::once, Ini::once, Temp::partial}},
        {"write ~ffx.log", k_any, {k_stop_rw, Plot::once, Ini::once, Temp::partial}},
        {"close plot.plt", k_any, {"fatal", Plot::once, Ini::once, Temp::whole}},
        {"close ~ffx.log", k_any, {"fatal", Plot::once, Ini::once, Temp::absent}},
        {"stdout #9", k_refusals, {"fatal", Plot::once, Ini::once, Temp::whole}},
        {"rename plot.plt#2", k_any, clean},
        {"open feedfix.ini#3", k_any, {k_stop_ini_write, Plot::fresh, Ini::once, Temp::absent}},
        {"create feedfix.ini#2", k_denied, clean},
        {"create feedfix.ini#2", k_any, {k_stop_ini_write, Plot::fresh, Ini::once, Temp::absent}},
        {"close feedfix.ini#3", k_any, clean},
        {"write feedfix.ini.new0#2", k_any, {"fatal", Plot::fresh, Ini::once, Temp::absent, true}},
        {"replace feedfix.ini#2", k_any, {"fatal", Plot::fresh, Ini::once, Temp::absent, true}},
        {"remove ~ffx.jnl", k_any, clean},
        {"stdout", k_any, clean},
    };
    list.push_back(s);
  }

  // No settings file: the defaults are created and the run ends.
  {
    Scenario s;
    s.name = "settings file missing";
    s.files = {{k_plot, k_plot_old}};
    s.arguments = {k_plot};
    s.read_chunk = static_cast<std::size_t>(-1);
    s.new_plot = k_plot_old;
    s.new_ini = k_default_form;
    s.temp_text = "";
    s.clean = {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent};
    s.rows = {
        {"stdout #1", k_refusals, {"fatal", Plot::old, Ini::absent, Temp::absent}},
        {"stdout #2", k_refusals, {"fatal", Plot::old, Ini::absent, Temp::absent}},
        {"stdout #3", k_refusals, {"fatal", Plot::old, Ini::absent, Temp::absent}},
        {"stdout #4", k_refusals, {"fatal", Plot::old, Ini::absent, Temp::absent}},
        {"stdout", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        {"lock", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        {"open ~ffx.jnl#1", k_denied, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        {"open ~ffx.jnl#1", k_any, {k_stop_cleanup, Plot::old, Ini::absent, Temp::absent}},
        {"open feedfix.ini#1", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        {"open feedfix.ini#2", k_any, {k_stop_ini_use, Plot::old, Ini::absent, Temp::absent}},
        // The file comes into being whole beside its name, or not at all.
        {"create feedfix.ini", k_any, {k_stop_ini_use, Plot::old, Ini::absent, Temp::absent}},
        {"write feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::absent, Temp::absent}},
        {"sync feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::absent, Temp::absent}},
        {"replace feedfix.ini", k_any, {"fatal", Plot::old, Ini::absent, Temp::absent}},
    };
    list.push_back(s);
  }

  // The reset: the settings file is replaced by the reset form.
  {
    Scenario s;
    s.name = "reset";
    s.files = {{k_settings, "20000\r\n250\r\n"}, {"/r", "PU1,1;\r\n"}};
    s.arguments = {"/r"};
    s.read_chunk = static_cast<std::size_t>(-1);
    s.new_plot = "PU1,1;\r\n";
    s.new_ini = "     20000\r\n0\r\n";
    s.temp_text = "";
    s.clean = {k_stop_reset, Plot::old, Ini::fresh, Temp::absent};
    s.rows = {
        {"stdout #1", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #2", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #3", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout #4", k_refusals, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"stdout", k_any, {k_stop_reset, Plot::old, Ini::fresh, Temp::absent}},
        {"lock", k_any, {k_stop_reset, Plot::old, Ini::fresh, Temp::absent}},
        {"open ~ffx.jnl#1", k_denied, {k_stop_reset, Plot::old, Ini::fresh, Temp::absent}},
        {"open ~ffx.jnl#1", k_any, {k_stop_cleanup, Plot::old, Ini::old, Temp::absent}},
        {"open feedfix.ini#1", k_any, {k_stop_ini_created, Plot::old, Ini::defaults, Temp::absent}},
        {"read feedfix.ini", k_any, {k_stop_ini_use, Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini#1", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"open feedfix.ini#2", k_any, {k_stop_ini_write, Plot::old, Ini::old, Temp::absent}},
        {"create feedfix.ini", k_denied, {k_stop_reset, Plot::old, Ini::fresh, Temp::absent}},
        {"create feedfix.ini", k_any, {k_stop_ini_write, Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini#2", k_any, {k_stop_reset, Plot::old, Ini::fresh, Temp::absent}},
        {"write feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"close feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"adopt feedfix.ini", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"sync feedfix.ini.new0", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
        {"replace feedfix.ini", k_any, {"fatal", Plot::old, Ini::old, Temp::absent}},
    };
    list.push_back(s);
  }
  return list;
}

/// The calls of a clean run, each named "<operation> <name>#<n>".
std::vector<std::string> numbered(const std::vector<std::string>& calls) {
  std::map<std::string, int> seen;
  std::vector<std::string> names;
  for (const std::string& call : calls) names.push_back(call + "#" + std::to_string(++seen[call]));
  return names;
}

const Expected* expected_for(const Scenario& s, const std::string& call, OsError error) {
  const std::string plain = call.substr(0, call.rfind('#'));
  const std::string operation = plain.substr(0, plain.find(' '));
  for (const Row& row : s.rows) {
    if ((row.errors & bit_of(error)) == 0) continue;
    // "stdout #5" is the fifth console write: console writes have no name.
    if (row.call == call || row.call == plain || row.call == operation) return &row.expected;
  }
  return nullptr;
}

/// Checks one finished run against `expected`; returns what differs. A file
/// whose own removal was made to fail (`failed_call`) may stay behind.
std::string check_end(const Scenario& s, const FakeOs& fake, const RunEnd& end,
                      const Expected& expected, const std::string& failed_call = "") {
  std::string problems;
  const auto fail = [&](const std::string& what) { problems += what + "; "; };
  const std::string how = end_of(end);
  if (how != expected.end) fail("ended with \"" + how + "\", expected \"" + expected.end + "\"");
  if (end.status == 1 && end.err.rfind("\r\nrun-time error F", 0) != 0) fail("no fatal report");
  if (end.status != 1 && !end.err.empty()) fail("stderr: " + end.err);

  const auto file = [&](const std::string& name) -> const std::string* {
    auto it = fake.files.find(name);
    return it == fake.files.end() ? nullptr : &it->second;
  };
  const std::string& plot_name = s.arguments.front();
  const std::string* plot = file(plot_name);
  const std::string& old_plot = s.files.at(plot_name);
  if (plot == nullptr) {
    fail("plot file gone");
  } else if (*plot != (expected.plot == Plot::old    ? old_plot
                        : expected.plot == Plot::once ? s.once_plot
                                                      : s.new_plot)) {
    fail(std::string("plot file is not the ") + name_of(expected.plot) + " one: " + *plot);
  }

  const std::string* ini = file(k_settings);
  const auto old_ini = s.files.find(k_settings);
  switch (expected.ini) {
    case Ini::absent:
      if (ini != nullptr) fail(k_settings + " exists: " + *ini);
      break;
    case Ini::old:
      if (old_ini == s.files.end() ? ini != nullptr : (ini == nullptr || *ini != old_ini->second)) {
        fail(k_settings + " is not the old one: " + (ini ? *ini : std::string("(none)")));
      }
      break;
    case Ini::fresh:
      if (ini == nullptr || *ini != s.new_ini) {
        fail(k_settings + " is not the new one: " + (ini ? *ini : std::string("(none)")));
      }
      break;
    case Ini::once:
      if (ini == nullptr || *ini != s.once_ini) {
        fail(k_settings + " is not the one the stopped run meant: " +
             (ini ? *ini : std::string("(none)")));
      }
      break;
    case Ini::defaults:
      if (ini == nullptr || *ini != k_default_form) {
        fail(k_settings + " is not the default form: " + (ini ? *ini : std::string("(none)")));
      }
      break;
  }

  const std::string* temp = file(k_temp);
  switch (expected.temp) {
    case Temp::absent:
      if (temp != nullptr) fail(k_temp + " exists");
      break;
    case Temp::partial:
      if (temp == nullptr || s.temp_text.compare(0, temp->size(), *temp) != 0) {
        fail(k_temp + " is not a part of the rewritten records: " +
             (temp ? *temp : std::string("(none)")));
      }
      break;
    case Temp::whole:
      if (temp == nullptr || *temp != s.temp_text) fail(k_temp + " is not whole");
      break;
    case Temp::once:
      if (temp == nullptr || *temp != s.once_plot) fail(k_temp + " is not the stopped run's");
      break;
    case Temp::old:
      if (temp == nullptr || *temp != s.files.at(k_temp)) fail(k_temp + " is not the leftover");
      break;
  }

  if (expected.intent != (fake.files.count(k_intent) != 0) &&
      failed_call.rfind("remove " + k_intent + "#", 0) != 0) {
    fail(expected.intent ? "no intent record" : "intent record left");
  }

  // Nothing beside the tool's files, and nothing left open.
  for (const auto& [name, content] : fake.files) {
    if (name != k_settings && name != k_temp && name != k_intent && s.files.count(name) == 0 &&
        failed_call.rfind("remove " + name + "#", 0) != 0) {
      fail("stray file " + name);
    }
  }
  if (!fake.open_files().empty()) fail("a file is still open");
  return problems;
}

/// The files of `s` in a fake whose workers are real threads, as the
/// program's are (`threads` false: the record layer works on its own).
FakeOs prepared(const Scenario& s, bool threads = true) {
  FakeOs fake;
  fake.threads = threads;
  fake.files = s.files;
  fake.read_chunk = s.read_chunk;
  fake.no_moves = s.no_moves;
  if (!s.stopped_at.empty()) {
    FakeOs probe = fake;
    run_tool(probe, s.arguments);
    const auto at = std::find(probe.calls.begin(), probe.calls.end(), s.stopped_at);
    EXPECT_NE(probe.calls.end(), at) << s.stopped_at;
    fake.stop_at_call(static_cast<std::size_t>(at - probe.calls.begin()) + 1);
    try {
      run_tool(fake, s.arguments);
    } catch (const StopSignal&) {
    }
    fake.stop_at_call(0);
    fake.calls.clear();
    fake.out_tried.clear();
  }
  return fake;
}

// ---------------------------------------------------------------------------

TEST(FaultTable, CleanRunsEndAsTheirScenariosSay) {
  for (const Scenario& s : scenarios()) {
    SCOPED_TRACE(s.name);
    FakeOs fake = prepared(s);
    const RunEnd end = run_tool(fake, s.arguments);
    EXPECT_EQ("", check_end(s, fake, end, s.clean));
  }
}

TEST(FaultTable, EveryFailingCallOfARunLeavesTheFilesWholeOldOrNew) {
  std::size_t points = 0;
  for (const Scenario& s : scenarios()) {
    FakeOs clean = prepared(s);
    run_tool(clean, s.arguments);
    const std::vector<std::string> calls = numbered(clean.calls);
    for (const bool torn : {false, true}) {
      for (const std::string& call : calls) {
        for (const OsError error : k_disk_errors) {
          const std::string point =
              s.name + ": " + call + " fails with " + name_of(error) + (torn ? " (torn)" : "");
          const Expected* expected = expected_for(s, call, error);
          if (expected == nullptr) {
            ADD_FAILURE() << point << ": no row in the table";
            continue;
          }
          FakeOs fake = prepared(s);
          fake.tear_failed_writes = torn;
          const std::size_t hash = call.rfind('#');
          const std::string plain = call.substr(0, hash);
          const std::size_t space = plain.find(' ');
          fake.fail_nth(plain.substr(0, space), plain.substr(space + 1),
                        std::stoul(call.substr(hash + 1)), error);
          const RunEnd end = run_tool(fake, s.arguments);
          ++points;
          const std::string problems = check_end(s, fake, end, *expected, call);
          EXPECT_EQ("", problems) << point << "\n  out: " << escape_bytes(end.out);
        }
      }
    }
  }
  std::printf("[ fault points tried: %zu ]\n", points);
  EXPECT_GT(points, 500u);
}

/// Runs whose ~ffx.log takes several buffers, with page records all along
/// (their dots wait for the writes before them), one late in the file that
/// stops for the operator, and, where `lossy`, a last line that the 80
/// columns cannot hold.
Scenario pages_across_buffers(bool lossy) {
  std::string plot;
  for (int i = 0; plot.size() < 200000; ++i) {
    plot += "PD" + std::to_string(1000 + i % 9000) + ",3400;\r\n";
    if (i % 700 == 0) plot += "PG;   9000,0;\r\n";
    if (i == 14000) plot += "PG;   -5000,0;\r\n";
  }
  if (lossy) plot += "LB" + std::string(90, 'A') + "\r\n";
  Scenario s;
  s.name = lossy ? "pages across buffers, lossy last line" : "pages across buffers";
  s.files = {{k_settings, "15574\r\n250\r\n"}, {k_plot, plot}};
  s.arguments = {k_plot};
  s.read_chunk = static_cast<std::size_t>(-1);
  return s;
}

// The workers change when the system is called, never what comes of it:
// whichever call of a run fails, with whichever error, the run with worker
// threads ends with the console bytes, status and files of the run that
// reads and writes for itself. Only where the console refuses a dot for
// good may ~ffx.log hold more: a dot that waits for a write is printed after
// it.
TEST(FaultTable, WorkersEndEveryFailureAsOneStepAfterTheOther) {
  std::vector<Scenario> list = scenarios();
  list.push_back(pages_across_buffers(false));
  list.push_back(pages_across_buffers(true));
  std::size_t points = 0;
  for (const Scenario& s : list) {
    FakeOs clean = prepared(s, /*threads=*/false);
    run_tool(clean, s.arguments);
    for (const bool torn : {false, true}) {
      for (const std::string& call : numbered(clean.calls)) {
        for (const OsError error : k_disk_errors) {
          const std::string point =
              s.name + ": " + call + " fails with " + name_of(error) + (torn ? " (torn)" : "");
          const std::size_t hash = call.rfind('#');
          const std::string plain = call.substr(0, hash);
          const std::size_t space = plain.find(' ');
          const auto run = [&](bool threads) {
            FakeOs fake = prepared(s, threads);
            fake.tear_failed_writes = torn;
            fake.fail_nth(plain.substr(0, space), plain.substr(space + 1),
                          std::stoul(call.substr(hash + 1)), error);
            const RunEnd end = run_tool(fake, s.arguments);
            if (plain.rfind("stdout", 0) == 0) fake.files.erase(k_temp);
            return std::make_pair(end, fake.files);
          };
          const auto [alone, alone_files] = run(false);
          const auto [beside, beside_files] = run(true);
          ++points;
          EXPECT_EQ(alone.status, beside.status) << point;
          EXPECT_EQ(escape_bytes(alone.out), escape_bytes(beside.out)) << point;
          EXPECT_EQ(alone.err, beside.err) << point;
          EXPECT_TRUE(alone_files == beside_files) << point;
        }
      }
    }
  }
  std::printf("[ failure points compared: %zu ]\n", points);
}

/// What must hold after a run was stopped and one whole run followed: it
/// ends well, the plot and settings are as one, two or three whole runs
/// leave them, and nothing else stands or stays open. Empty when all hold.
std::string whole_after_stop(FakeOs& fake, const RunEnd& end, const std::vector<FakeOs>& runs) {
  std::string problems;
  if (end_of(end) != "OK") problems += "ended with \"" + end_of(end) + "\"\n";
  const std::string& plot = fake.files[k_plot];
  const std::string& ini = fake.files[k_settings];
  if (std::none_of(runs.begin(), runs.end(), [&](const FakeOs& run) {
        return plot == run.files.at(k_plot) && ini == run.files.at(k_settings);
      })) {
    problems += "plot: " + escape_bytes(plot) + "\n  ini: " + escape_bytes(ini) + "\n";
  }
  for (const auto& [name, content] : fake.files) {
    if (name != k_settings && name != k_plot) problems += "stray file " + name + "\n";
  }
  if (!fake.open_files().empty()) problems += "a file is still open\n";
  return problems;
}

// A run stopped at any call (a kill: no clean-up of its own) and one whole
// run after it: the plot file is whole, as one or two runs leave it, and the
// settings hold the shift that belongs to it.
TEST(KillTable, StoppedRunAndOneWholeRunLeaveThePlotWholeWithItsShift) {
  std::size_t points = 0;
  for (const Scenario& s : scenarios()) {
    if (s.clean.end != "OK" || s.clean.plot != Plot::fresh) continue;
    FakeOs once = prepared(s);
    run_tool(once, s.arguments);
    FakeOs twice = once;
    run_tool(twice, s.arguments);
    const std::size_t calls = once.call_count();
    for (std::size_t stop = 1; stop <= calls; ++stop) {
      SCOPED_TRACE(s.name + ": stopped at call " + std::to_string(stop) + " (" +
                   once.calls[stop - 1] + ")");
      FakeOs fake = prepared(s);
      fake.stop_at_call(stop);
      EXPECT_THROW(run_tool(fake, s.arguments), StopSignal);
      fake.stop_at_call(0);
      fake.out_tried.clear();
      const RunEnd end = run_tool(fake, s.arguments);
      ++points;
      EXPECT_EQ("", whole_after_stop(fake, end, {once, twice}));
    }
  }
  std::printf("[ stop points tried: %zu ]\n", points);
  EXPECT_GT(points, 40u);
}

/// Loses the power at every call of each scenario KillTable uses, and
/// right after the run, with `adjust` applied to the files first; one whole
/// run follows each. Returns the number of points tried.
std::size_t sweep_power_losses(void (*adjust)(FakeOs&)) {
  std::size_t points = 0;
  for (const Scenario& s : scenarios()) {
    if (s.clean.end != "OK" || s.clean.plot != Plot::fresh) continue;
    const auto start = [&] {
      FakeOs fake = prepared(s);
      adjust(fake);
      return fake;
    };
    std::vector<FakeOs> runs{start()};
    for (int n = 0; n < 3; ++n) {
      if (n > 0) runs.push_back(runs.back());
      run_tool(runs.back(), s.arguments);
    }
    const std::size_t calls = runs.front().call_count();
    for (const FakeOs::Unsynced unsynced : {FakeOs::Unsynced::empty, FakeOs::Unsynced::gone}) {
      // The last point is right after the run: what it leaves must be durable.
      for (std::size_t stop = 1; stop <= calls + 1; ++stop) {
        const std::string point =
            s.name + ": power lost " +
            (stop > calls ? std::string("after the run")
                          : "at call " + std::to_string(stop) + " (" +
                                runs.front().calls[stop - 1] + ")") +
            ", new unsynced files " + (unsynced == FakeOs::Unsynced::empty ? "empty" : "gone");
        FakeOs fake = start();
        fake.power_loss_at_call(stop, unsynced);
        // After the run: the next run's first call is where the power goes.
        if (stop > calls) {
          EXPECT_EQ("OK", end_of(run_tool(fake, s.arguments))) << point;
        }
        EXPECT_THROW(run_tool(fake, s.arguments), StopSignal) << point;
        fake.stop_at_call(0);
        fake.out_tried.clear();
        const RunEnd end = run_tool(fake, s.arguments);
        ++points;
        EXPECT_EQ("", whole_after_stop(fake, end, runs)) << point;
      }
    }
  }
  return points;
}

// A power loss at any call: the run ends as by a kill, and each file is only
// what had reached the disk (bytes as of its last sync; renames and removals
// as made). One whole run after it leaves the plot whole, as whole runs
// leave it, with the shift that belongs to it: so every file is synced
// before anything names it or counts on it.
TEST(PowerLossTable, PowerLossAtAnyCallAndOneWholeRunLeaveThePlotWholeWithItsShift) {
  const std::size_t points = sweep_power_losses([](FakeOs&) {});
  std::printf("[ power-loss points tried: %zu ]\n", points);
  EXPECT_GT(points, 80u);
}

// The same where no new settings file can take the old one's place, so the
// settings are rewritten where they stand.
TEST(PowerLossTable, PowerLossWhereTheSettingsAreRewrittenInPlace) {
  // The rewrite is synced before the record that would redo it goes.
  const std::size_t points =
      sweep_power_losses([](FakeOs& f) { f.keep_identity.insert(k_settings); });
  EXPECT_GT(points, 80u);
}

// What a run makes of a stopped run's replacement, by what has become of the
// files since the stop.
/// Writes `bytes` to `name` through the fake's own calls, as another
/// program would.
void rewrite(FakeOs& fake, const std::string& name, const std::string& bytes, Create create) {
  const OpenResult r = fake.open_file(name, Access::write, create);
  ASSERT_EQ(OsError::none, r.error);
  (void)fake.write_file(r.handle, bytes.data(), bytes.size());
  (void)fake.close_file(r.handle);
}

TEST(InterruptedReplacement, FinishedOnlyWhereThePlotIsStillTheStoppedRunsToReplace) {
  struct Case {
    const char* name;
    void (*after_stop)(FakeOs&);
    bool finished;  // the stopped run's plot and shift were put in place
  };
  const Case cases[] = {
      {"nothing happened since", [](FakeOs&) {}, true},
      // A copy into the plot file itself, cut short by the stop: it sets the
      // size first, so what it has not written yet reads as zeros.
      {"copy cut short",
       [](FakeOs& f) {
         f.files[k_plot] = k_plot_new.substr(0, 15) + std::string(k_plot_new.size() - 15, '\0');
       },
       true},
      // Stopped between emptying the plot file and setting its size.
      {"plot emptied", [](FakeOs& f) { f.files[k_plot].clear(); }, true},
      // Zeros past the copied part, but not up to the end.
      {"more than the copy's bytes",
       [](FakeOs& f) {
         f.files[k_plot] = k_plot_new.substr(0, 15) + std::string(k_plot_new.size() - 16, '\0') + ";";
       },
       false},
      // The copy's bytes so far, but someone holds the plot file open for writing.
      {"copy cut short, a writer at it",
       [](FakeOs& f) {
         f.files[k_plot] = k_plot_new.substr(0, 15) + std::string(k_plot_new.size() - 15, '\0');
         f.written_by_others.insert(k_plot);
       },
       false},
      // A new export begun since, its first line the same as the copy's.
      {"new export begun", [](FakeOs& f) { f.files[k_plot] = k_plot_new.substr(0, 12); }, false},
      // Someone else's plot now: it stays, and so does the shift.
      {"plot rewritten by someone", [](FakeOs& f) { f.files[k_plot] = k_plot_quiet; }, false},
      {"~ffx.log removed", [](FakeOs& f) { f.files.erase(k_temp); }, false},
      {"~ffx.log rewritten", [](FakeOs& f) { f.files[k_temp] = "PU1,1;\r\n"; }, false},
      // Only the very ~ffx.log the stopped run wrote, as it wrote it, is copied.
      {"~ffx.log another user's", [](FakeOs& f) { f.foreign.insert(k_temp); }, false},
      {"~ffx.log a new file with its bytes",
       [](FakeOs& f) {
         const std::string bytes = f.files[k_temp];
         (void)f.remove_file(k_temp);
         rewrite(f, k_temp, bytes, Create::create_if_missing);
       },
       false},
      {"~ffx.log written since at its size",
       [](FakeOs& f) { rewrite(f, k_temp, f.files[k_temp], Create::must_exist); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOs fake;
    fake.files = {{k_settings, k_settings_old_form}, {k_plot, k_plot_old}};
    // Copied into the plot file itself, as where no new file can take its place.
    fake.no_moves = true;
    fake.keep_identity.insert(k_plot);
    FakeOs probe = fake;
    run_tool(probe, {k_plot});
    const auto copy = std::find(probe.calls.begin(), probe.calls.end(), "copy plot.plt");
    ASSERT_NE(probe.calls.end(), copy);
    fake.stop_at_call(static_cast<std::size_t>(copy - probe.calls.begin()) + 1);
    EXPECT_THROW(run_tool(fake, {k_plot}), StopSignal);
    fake.stop_at_call(0);
    c.after_stop(fake);
    const std::string plot_then = fake.files[k_plot];
    // A run whose own work ends before any file: what stands is the finishing's.
    fake.out_tried.clear();
    const RunEnd end = run_tool(fake, {"missing.plt"});
    EXPECT_EQ(k_stop_plot, end_of(end));
    EXPECT_EQ(c.finished ? k_plot_new : plot_then, fake.files[k_plot]);
    EXPECT_EQ(0u, fake.files.count(k_intent));
    EXPECT_EQ(c.finished ? 0u : fake.files.count(k_temp), fake.files.count(k_temp));
    EXPECT_EQ(c.finished ? "     15574\r\n       446\r\n" : k_settings_old_form,
              fake.files[k_settings]);
  }
}

/// The number of the first call `call` in a probe run of `fake` on the plot.
std::size_t call_number(const FakeOs& fake, const std::string& call) {
  FakeOs probe = fake;
  run_tool(probe, {k_plot});
  const std::vector<std::string> calls = numbered(probe.calls);
  const auto at = std::find(calls.begin(), calls.end(), call);
  EXPECT_NE(calls.end(), at) << call;
  return static_cast<std::size_t>(at - calls.begin()) + 1;
}

// What stands under the run's own names and is not its own, or not the one
// it looked at, is neither used, removed nor written over.
TEST(OwnNames, WhatIsNotTheRunsOwnIsLeftAlone) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    bool no_moves;
    std::string call;  // right before it, `change` is made
    void (*change)(FakeOs&);
    std::string kept;  // this file keeps
    std::string bytes;  // these bytes
  };
  const Case cases[] = {
      {"another user's ~ffx.log, nothing to correct",
       {{k_settings, k_default_form}, {k_plot, k_plot_quiet}, {k_temp, "theirs"}}, false, "",
       [](FakeOs& f) { f.foreign.insert(k_temp); }, k_temp, "theirs"},
      {"~ffx.log another user's before the copy is removed",
       {{k_settings, k_settings_old_form}, {k_plot, k_plot_old}}, true, "remove ~ffx.jnl#1",
       [](FakeOs& f) { f.foreign.insert(k_temp); }, k_temp, k_plot_new},
      {"a settings file put there before the default one is",
       {{k_plot, k_plot_old}}, false, "sync feedfix.ini.new0#1",
       [](FakeOs& f) { f.files[k_settings] = "theirs"; }, k_settings, "theirs"},
      {"~ffx.log swapped for another of the user's after the look",
       {{k_settings, k_settings_old_form}, {k_plot, k_plot_old}, {k_temp, "old"}}, false,
       "open ~ffx.log#1", [](FakeOs& f) { f.replaced_elsewhere(k_temp, "new"); }, k_temp, "new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOs fake;
    fake.files = c.files;
    fake.no_moves = c.no_moves;
    if (c.call.empty()) {
      c.change(fake);
    } else {
      fake.change_at_call(call_number(fake, c.call), c.change);
    }
    run_tool(fake, {k_plot});
    EXPECT_EQ(c.bytes, fake.files[c.kept]);
  }
}

// A plot that another program holds open for writing is not replaced, even
// where its state shows no write yet.
TEST(PlotBeingWritten, HeldOpenForWritingIsNotReplaced) {
  FakeOs fake;
  fake.files = {{k_settings, k_settings_old_form}, {k_plot, k_plot_old}};
  fake.written_by_others.insert(k_plot);
  EXPECT_EQ(k_stop_rw, end_of(run_tool(fake, {k_plot})));
  EXPECT_EQ(k_plot_old, fake.files[k_plot]);
}

// Where no record of it can be written, the plot file is not rewritten in
// place: a copy stopped half way could not be finished.
TEST(CopyInPlace, MadeOnlyUnderARecord) {
  FakeOs fake;
  fake.files = {{k_settings, k_settings_old_form}, {k_plot, k_plot_old}};
  fake.no_moves = true;
  fake.keep_identity.insert(k_plot);
  // The route goes straight to the copy in place, whose record is refused.
  fake.fail_nth("create", k_intent, 1, OsError::access_denied);
  const RunEnd end = run_tool(fake, {k_plot});
  EXPECT_EQ(k_stop_cleanup, end_of(end));
  EXPECT_EQ(k_plot_old, fake.files[k_plot]);
}

// Another program re-exports the plot file (rewrites it where it stands)
// right before one call of the run, for each call from the first read on:
// what the run has not read is never overwritten, and the run says so. The
// route's phases name their last calls: a re-export while the plot is read
// or ~ffx.log made ready ends the run as a read error; one while the plot
// is replaced leaves it alone and ends it as a failed clean-up; one right
// before the step that puts the corrected plot in place, after the last
// look, may be lost; one after that stays, and the run ends well.
TEST(ReExportTable, APlotRewrittenDuringTheRunIsNeverOverwritten) {
  enum class Then { read_error, cleanup_error, may_be_lost, kept };
  struct Route {
    const char* name;
    std::string ini;
    std::string plot;
    bool no_moves;       // ~ffx.log cannot be renamed over the plot: copied beside
    bool keep_identity;  // no new file can take the plot's place: copied into it
    std::vector<std::pair<std::string, Then>> phases;
  };
  const std::string reexport = "PU5,5;\r\n";
  // The phases spell the calls out as the fake's call log does, as the rows
  // of the fault table do.
  const std::vector<Route> routes = {
      {"rename", k_settings_old_form, k_plot_old, false, false,
       {{"close ~ffx.log#2", Then::read_error},
        {"close ~ffx.log#3", Then::cleanup_error},
        {"rename plot.plt#1", Then::may_be_lost}}},
      {"copy beside", k_settings_old_form, k_plot_old, true, false,
       {{"close ~ffx.log#2", Then::read_error},
        {"sync plot.plt.new0#2", Then::cleanup_error},
        {"replace plot.plt#1", Then::may_be_lost}}},
      {"copy in place", k_settings_old_form, k_plot_old, true, true,
       {{"close ~ffx.log#2", Then::read_error},
        {"replace ~ffx.jnl#1", Then::cleanup_error},
        {"close plot.plt#2", Then::may_be_lost}}},
      // Nothing to replace: the plot is looked at once read.
      {"nothing changes", k_default_form, k_plot_quiet, false, false,
       {{"close plot.plt#1", Then::read_error}}},
  };
  for (const Route& r : routes) {
    FakeOs base;
    base.files = {{k_settings, r.ini}, {k_plot, r.plot}};
    base.no_moves = r.no_moves;
    if (r.keep_identity) base.keep_identity.insert(k_plot);
    FakeOs probe = base;
    run_tool(probe, {k_plot});
    const std::vector<std::string> calls = numbered(probe.calls);
    // Before its first read the run reads the re-export as any plot.
    const auto first = std::find(calls.begin(), calls.end(), "read plot.plt#1");
    ASSERT_NE(calls.end(), first) << r.name;
    std::size_t phase = 0;
    for (auto at = first; at != calls.end(); ++at) {
      const std::string point = std::string(r.name) + ": re-exported before " + *at;
      const Then then = phase < r.phases.size() ? r.phases[phase].second : Then::kept;
      if (phase < r.phases.size() && *at == r.phases[phase].first) ++phase;
      if (then == Then::may_be_lost) continue;
      FakeOs fake = base;
      fake.change_at_call(static_cast<std::size_t>(at - calls.begin()) + 1,
                          [&](FakeOs& f) { f.rewritten_elsewhere(k_plot, reexport); });
      const RunEnd end = run_tool(fake, {k_plot});
      EXPECT_EQ(reexport, fake.files[k_plot]) << point;
      EXPECT_EQ(then == Then::read_error      ? k_stop_rw
                : then == Then::cleanup_error ? k_stop_cleanup
                                              : "OK",
                end_of(end))
          << point;
    }
    EXPECT_EQ(r.phases.size(), phase) << r.name << ": a phase's last call never came";
  }
}

// ---------------------------------------------------------------------------
// The mends the table stands on, where they need more than the table checks
// (the exact report, a second run, a second read); a failed create of the new
// settings and a failed flush of the reset are rows of the table.

const std::string k_settings_old = "15574\r\n250\r\n";

/// A typical run whose plot and settings are the scenario's.
FakeOs typical() {
  FakeOs fake;
  fake.files = {{k_settings, k_settings_old}, {k_plot, k_plot_old}};
  return fake;
}

TEST(SettingsRewrite, FailingFlushAtTheEndKeepsTheOldSettingsWhole) {
  for (const bool torn : {false, true}) {
    SCOPED_TRACE(torn ? "torn write" : "write refused");
    FakeOs fake = typical();
    fake.tear_failed_writes = torn;
    fake.fail_next("write", k_settings + ".new0", OsError::disk_full);
    const RunEnd end = run_tool(fake, {k_plot});
    EXPECT_EQ(1, end.status);
    EXPECT_EQ(0u, end.err.find("\r\nrun-time error F1214: CLOSE(" + k_settings + ")")) << end.err;
    EXPECT_EQ(k_plot_new, fake.files[k_plot]);
    EXPECT_EQ(k_settings_old, fake.files[k_settings]);
    // The intent record lets the next run write the settings back.
    EXPECT_EQ(1u, fake.files.count(k_intent));
    EXPECT_EQ(3u, fake.files.size());
  }
}

TEST(SettingsRewrite, DefaultFileThatCannotBeCompletedIsRemoved) {
  FakeOs fake;
  fake.files = {{k_plot, k_plot_old}};
  fake.tear_failed_writes = true;
  fake.fail_next("write", k_settings + ".new0", OsError::disk_full);
  const RunEnd end = run_tool(fake, {k_plot});
  EXPECT_EQ(1, end.status);
  EXPECT_EQ(0u, fake.files.count(k_settings)) << "an empty settings file would be read as zeros";

  // The next run finds no file and creates it.
  fake.out_tried.clear();
  EXPECT_EQ(k_stop_ini_created, end_of(run_tool(fake, {k_plot})));
  EXPECT_EQ(k_default_form, fake.files[k_settings]);
}

// The default settings file is all there or not there after a power loss
// anywhere in the run that makes it: an empty one would be read as no
// settings at all.
TEST(SettingsRewrite, PowerLossWhileTheDefaultFileIsMadeLeavesNoneOrAllOfIt) {
  FakeOs clean;
  clean.files = {{k_plot, k_plot_old}};
  run_tool(clean, {k_plot});
  for (const FakeOs::Unsynced unsynced : {FakeOs::Unsynced::empty, FakeOs::Unsynced::gone}) {
    for (std::size_t stop = 1; stop <= clean.call_count() + 1; ++stop) {
      SCOPED_TRACE("power lost at call " + std::to_string(stop));
      FakeOs fake;
      fake.files = {{k_plot, k_plot_old}};
      fake.power_loss_at_call(stop, unsynced);
      if (stop > clean.call_count()) run_tool(fake, {k_plot});
      EXPECT_THROW(run_tool(fake, {k_plot}), StopSignal);
      const auto ini = fake.files.find(k_settings);
      EXPECT_TRUE(ini == fake.files.end() || ini->second == k_default_form);
    }
  }
}

TEST(SettingsRead, RefusedReadEndsTheRunBeforeThePlotIsOpened) {
  for (const OsError error : k_disk_errors) {
    for (const std::size_t n : {1u, 2u}) {
      SCOPED_TRACE(std::string(name_of(error)) + ", read " + std::to_string(n));
      FakeOs fake = typical();
      fake.read_chunk = 8;  // the second record comes with a second read
      fake.fail_nth("read", k_settings, n, error);
      const RunEnd end = run_tool(fake, {k_plot});
      EXPECT_EQ(0, end.status);
      EXPECT_EQ(k_stop_ini_use, end_of(end));
      EXPECT_EQ(k_plot_old, fake.files[k_plot]);
      EXPECT_EQ(k_settings_old, fake.files[k_settings]);
      for (const std::string& call : fake.calls) EXPECT_NE("open plot.plt", call);
    }
  }
}

TEST(SettingsRead, OnlySystemFailuresAreErrorsOfTheFile) {
  EXPECT_FALSE(is_system_error(k_io_ok));
  EXPECT_FALSE(is_system_error(k_io_end));
  for (const IoStatus field : {k_io_bad_integer, k_io_overflow, k_io_bad_base}) {
    EXPECT_FALSE(is_system_error(field)) << field;
  }
  for (IoStatus os_error = 1210; os_error <= 1217; ++os_error) {
    EXPECT_TRUE(is_system_error(os_error)) << os_error;
  }
}

// The record-file layer's rules for an existing file opened for writing.
class ExistingFile : public ::testing::Test {
 protected:
  FakeOs fake;
  FakeOsScope scope{fake};

  void SetUp() override { fake.files[k_settings] = k_settings_old; }
};

TEST_F(ExistingFile, DeleteAfterWritingRemovesTheFileAndLeavesNothingBeside) {
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_settings_unit, "new"));
  ASSERT_EQ(k_io_ok, flush_unit(k_settings_unit));
  close_unit(k_settings_unit, Close::delete_file);
  EXPECT_TRUE(fake.files.empty());
  EXPECT_TRUE(fake.open_files().empty());
}

TEST_F(ExistingFile, StaysTheSameFileForOtherUnitsWhileItIsRewritten) {
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_settings_unit, "new"));
  EXPECT_EQ(k_io_unit_busy, open_unit(k_plot_unit, k_settings, "OLD", "read"));
  close_unit(k_settings_unit);
  EXPECT_EQ("new\r\n", fake.files[k_settings]);
}

TEST_F(ExistingFile, FailureWhilePuttingTheNewContentsInPlaceKeepsTheOld) {
  for (const char* operation : {"write", "replace"}) {
    SCOPED_TRACE(operation);
    reset_units();
    fake.err.clear();
    ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
    ASSERT_EQ(k_io_ok, write_integer_record(k_settings_unit, 15574));
    ASSERT_EQ(k_io_ok, write_integer_record(k_settings_unit, 446));
    fake.fail_next(operation, "", OsError::io_error);
    EXPECT_THROW(close_unit(k_settings_unit), ProcessExit);
    EXPECT_EQ(0u, fake.err.find("\r\nrun-time error F1215: CLOSE(" + k_settings + ")")) << fake.err;
    EXPECT_EQ(k_settings_old, fake.files[k_settings]);
    EXPECT_EQ(1u, fake.files.size());
    EXPECT_TRUE(fake.open_files().empty());
  }
}

}  // namespace
