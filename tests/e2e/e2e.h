// End-to-end tests: run the built lapsero as an administrator would, inside
// the sandbox, and look at its exit status, standard error, syslog entries,
// mails and stamps.
//
// A test writes its table inline, as a string in the test (built up where it
// names a path of the scratch directory), with table(); runs lapsero() with
// its options; and asserts on what came back. Every test has its own scratch
// directory holding the table, the spool and the mail record, and a test that
// loops over cases takes a fresh one per case with fresh_case().
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tests/sandbox.h"

namespace e2e {

using Lines = std::vector<std::string>;

/// The built programs under test: the scheduler and its listing.
inline constexpr const char lapsero_binary[] = LAPSERO_BINARY;
inline constexpr const char status_binary[] = LAPSERO_STATUS_BINARY;

/// The date on_date fixes unless told otherwise, the first log line of a
/// run on it and the stamp such a run writes. The version comes from the
/// build, so that a new version number needs no change here.
inline constexpr const char fixed_date[] = "2024-03-12 10:00:00";
inline constexpr const char started[] = "Lapsero " LAPSERO_VERSION " started on 2024-03-12";
inline constexpr const char stamped[] = "20240312\n";

/// The first log line of a run started on another date ("2031-01-05").
std::string started_on(std::string_view date);

/// What the fake sendmail recorded of one call.
struct Mail {
  std::vector<std::string> args;  ///< argv[0] included
  std::string cwd;
  std::vector<int> fds;  ///< descriptors open at its start
  std::string nofile;    ///< its soft limit on open descriptors
  std::string input;     ///< all of its standard input
};

/// A date for libfaketime: "@2024-03-12 10:00:00" starts the clock there.
inline std::string at(std::string_view date_time) { return "@" + std::string(date_time); }

/// Whether the text was logged, and how often.
bool logged(const sandbox::Process& run, std::string_view text);
std::size_t count_of(const sandbox::Process& run, std::string_view text);
/// The first entry with the text, or null.
const sandbox::LogEntry* entry(const sandbox::Process& run, std::string_view text);
/// Where the text first is among the log texts, or -1.
std::ptrdiff_t position(const Lines& log, std::string_view text);

/// The columns of one line of lapsero-status's listing: fields are apart by
/// two blanks or more, and the last one may hold single blanks.
Lines columns(const std::string& line);

/// What a foreground run writes on standard error when it logs `log`: each
/// text on a line of its own, after "lapsero: ", except that the texts
/// listed in `notices` stand bare, or are left out under -q.
std::string on_stderr(const Lines& log, const Lines& notices = {}, bool quiet = false);

/// Hides the host's journal from the programs a test runs: an empty tmpfs
/// over /run/log and /var/log, where they are directories, in the sandbox's
/// mount namespace alone. lapsero-status then finds no system journal,
/// whatever the host keeps, and a test may put one of its own there.
void hide_system_journal();
/// Takes those mounts away again.
void show_system_journal();

class Lapsero : public ::testing::Test {
 protected:
  void SetUp() override;

  std::string dir;         ///< the test's scratch directory
  std::string spool;       ///< dir/spool, made empty
  std::string table_path;  ///< dir/lapserotab
  std::string mail_dir;    ///< where the fake sendmail records

  /// Points the paths above at a new scratch directory with an empty spool
  /// and mail record, and puts the default fake sendmail back, so that a
  /// case sees nothing a case before it left. SetUp does it once.
  virtual void fresh_case(std::string_view hint);

  /// Writes the table file.
  void table(std::string_view text);
  /// An invocation of lapsero with "-t table -S spool" in front of args.
  sandbox::Invocation invocation(std::vector<std::string> args);
  /// The same for lapsero-status.
  sandbox::Invocation status_invocation(std::vector<std::string> args);
  /// The same, with the clock fixed by libfaketime at the date.
  sandbox::Invocation on_date(std::vector<std::string> args, std::string_view date = fixed_date);
  /// The same, with a clock the test moves: libfaketime reads the time
  /// from a file at every call, and it stands still at the date until
  /// move_clock writes another. So a test that needs time to pass makes it
  /// pass at the event it waits for, not after a number of real seconds.
  sandbox::Invocation on_clock(std::vector<std::string> args, std::string_view date_time);
  /// Sets the clock of the programs started with on_clock, at once.
  void move_clock(std::string_view date_time);
  /// The invocation changed to run as user nobody, who cannot read root's
  /// stamps of mode 0600, with the clock fixed at the date: a copy of the
  /// program in the scratch directory, since the build tree may lie where
  /// nobody cannot reach it.
  sandbox::Invocation as_nobody(sandbox::Invocation inv, std::string_view date = fixed_date);
  /// lapsero-status with "-t table -S spool" in front, its clock set to the
  /// date. Only the clock moves: libfaketime would move the times of files
  /// along with it, but only those that some of the stat calls report, and
  /// the listing counts from the times the files really have.
  sandbox::Invocation listing_on(std::vector<std::string> args, std::string_view date = fixed_date);
  /// Runs lapsero to the end (background mode included).
  sandbox::Process lapsero(std::vector<std::string> args);
  /// Runs lapsero to the end with an invocation changed by the caller.
  sandbox::Process lapsero(const sandbox::Invocation& invocation);
  /// sandbox::finish for a process the test started itself. Like lapsero(),
  /// it fails the test if anything was left running that had to be killed.
  void finish(sandbox::Process& process);

  std::string stamp_path(std::string_view job) const;
  /// The stamp's content, or "<missing>".
  std::string stamp(std::string_view job) const;
  /// Writes a stamp as it stands (no newline added).
  void set_stamp(std::string_view job, std::string_view content);
  /// Every mail the fake sendmail received, in the order received.
  std::vector<Mail> mails() const;
};

/// A scheduler watched from outside while it runs. Jobs that must still be
/// running at a given moment block on a FIFO (the gate) until the test opens
/// it, so nothing depends on timing.
class Watched : public Lapsero {
 protected:
  /// Every case has a gate of its own, in its own scratch directory.
  void fresh_case(std::string_view hint) override;

  /// A command that blocks until the gate is opened.
  std::string wait_at_gate() const { return "cat " + gate; }

  /// Waits until the text is logged; a hung or failed scheduler fails here.
  void await(sandbox::Process& run, const std::string& text);

  /// Sends SIGUSR1 once the scheduler has its handler in place.
  void request_stop(sandbox::Process& run);

  /// Lets every job waiting at the gate go on.
  void open_gate(sandbox::Process& run);

  std::string gate;
};

}  // namespace e2e
