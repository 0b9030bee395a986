// lapsero-status: when each job last ran, how that run ended, when it is
// next due, and who is running it now, worked out from the same table reader
// and the same due decision as the scheduler's and from the lines the
// scheduler logged, without changing anything in the spool.
#pragma once

#include <locale.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "lapsero.h"
#include "schedule/schedule.h"
#include "table/table.h"

// ---------------------------------------------------------------------------
// Records

/// What a job's stamp file told the listing.
enum class LastRun {
  never,       ///< no stamp file, or an empty one: the job has not run yet
  date,        ///< a date the scheduler counts from
  invalid,     ///< bytes that hold no date, or an impossible one
  unreadable,  ///< the file could not be read; see StampProbe::error
};

/// What the next start of lapsero does with a job.
enum class JobState {
  due,          ///< runs it
  waiting,      ///< passes over it, its day has not come
  in_progress,  ///< a scheduler holds its lock now
  unknown,      ///< its stamp could not be read
};

/// Stands for a stamp that is not a regular file in StampProbe::error.
inline constexpr int not_regular_file = -1;
/// Stands for a stamp whose owner is not known in StampProbe::owner.
inline constexpr uid_t no_owner = static_cast<uid_t>(-1);

/// What probe_stamp found, without changing anything.
struct StampProbe {
  bool missing;                     ///< no stamp file
  int error;                        ///< errno of a failed look, not_regular_file, or 0
  mode_t odd_type;                  ///< with not_regular_file: the file's type, for the reason
  char bytes[stamp_date_size + 1];  ///< the first 8 bytes at most, NUL-terminated
  int length;                       ///< how many of them were read
  bool locked;                      ///< another process holds the job lock
  pid_t lock_pid;                   ///< that process, when it is a lapsero of this host; 0 otherwise
  bool lock_elsewhere;              ///< the lock names no lapsero of this host: held from another
  std::int32_t
      changed_day;  ///< local date it was made or last changed, the earlier; 0 when missing or unread
  uid_t owner;      ///< who owns the stamp; no_owner when missing or not looked at
};

/// How a run ended, as the scheduler logged it.
enum class Outcome {
  ok,        ///< exit status 0
  exit,      ///< another exit status
  signal,    ///< killed by a signal
  abnormal,  ///< neither exited nor killed
};

/// Whether the journal told how a job's last run ended, and why not.
enum class ResultState {
  no_line,       ///< the journal was read and holds no line for the job
  found,         ///< the latest line is in LastResult
  no_journal,    ///< this host keeps no journal
  not_readable,  ///< the caller may not read the whole system journal
};

/// How the job's last recorded run ended, from the line the scheduler
/// logged when it reaped the job.
struct LastResult {
  ResultState state;
  Outcome outcome;
  std::int32_t number;  ///< the exit status or the signal number; 0 for ok and abnormal
  bool mailed;          ///< the job printed, and its output went to the mailer
  std::time_t logged;   ///< when the journal received the line
};

/// What the listing says of one job.
struct JobStatus {
  const JobEntry* job;
  StampProbe probe;
  LastRun last_run;
  std::int32_t last_day;  ///< day number of the stamped date when last_run is date
  JobState state;
  std::int32_t next_due;  ///< day number; 0 when not due within the search
  std::int32_t days;      ///< due: for how many days; waiting: in how many days
  LastResult result;      ///< filled in by read_last_results
};

static_assert(std::is_trivially_destructible_v<JobStatus>);

// ---------------------------------------------------------------------------
// Judging a job (next_due.cc)

/// Everything the listing says of a job, from what its stamp held. A job
/// that never ran counts as due since its stamp was made or last changed,
/// or, without a stamp, since table_day, the day the table last changed.
JobStatus judge(const JobEntry* job, const StampProbe& probe, std::int32_t today_number,
                std::int32_t table_day);

// ---------------------------------------------------------------------------
// Reading stamps (stamp_probe.cc)

/// Reads the first 8 bytes of the job's stamp in the working directory and
/// asks who holds its lock. It opens read-only, never follows a link, never
/// blocks, never creates the file and takes no lock.
StampProbe probe_stamp(const char* name);

/// Whether the process with this pid, as a lock reports it, is a lapsero
/// running on this host.
bool lapsero_here(pid_t pid);

// ---------------------------------------------------------------------------
// How the last runs ended, from the journal (journal.cc)

/// Where the scheduler's lines are read from.
struct JournalSource {
  const char* file;  ///< --journal-file as given; null for the system journal
  int fd;            ///< that file, open; -1 for the system journal
};

/// The system journal, or the file given (a relative path is taken from the
/// start directory, as the table's is). A file that cannot be opened ends
/// the program with status 1.
JournalSource journal_source(const char* file, int start_dir_fd);

/// Fills in each status's result from the lines the scheduler logged. A
/// line counts only when the scheduler that logged it ran as the owner of
/// the job's stamp (of the spool, spool_owner, for a job without one), and
/// only from the 400 days before now. A journal file that does not hold a
/// journal ends the program with status 1.
void read_last_results(JobStatus* statuses, int count, const JournalSource& source, uid_t spool_owner,
                       std::time_t now);

// ---------------------------------------------------------------------------
// The verdict (verdict.cc)

/// The checks the command line asks for; a check not given is off.
struct Checks {
  std::int32_t overdue;  ///< --overdue=DAYS: the most days a job may be due; -1 when off
  bool failed;           ///< --failed: the last recorded run must have ended well
};

/// The exit statuses, as monitoring systems read them: OK, WARNING,
/// CRITICAL and UNKNOWN.
inline constexpr int exit_ok = 0;
inline constexpr int exit_trouble = 1;       ///< a usage error, a table problem, a name that selects nothing
inline constexpr int exit_check_failed = 2;  ///< a selected job fails a check
inline constexpr int exit_unknown = 3;       ///< a check is given and a selected job cannot be seen

/// The most urgent status the jobs and the trouble call for: 2 over 3 over
/// 1 over 0. refused: lapsero would refuse the table or the spool, so no
/// job will run, which fails every check.
int exit_status(const JobStatus* statuses, int count, const Checks& checks, bool trouble,
                bool refused = false);

// ---------------------------------------------------------------------------
// The listing (listing.cc)

/// The caller's character-type locale, in which texts are shown; the C
/// locale where that cannot be had.
locale_t callers_locale();
/// The text as a terminal in the thread's locale shows it: control
/// characters, and bytes that start no character of the locale's set,
/// become "?".
std::string printable(std::string_view text);

/// Aligned columns under a header line, one row per job, in the character
/// set of the given locale: padded by display width, with "?" for each
/// control character and for each byte that is no character of the set.
std::string listing_text(const JobStatus* statuses, int count, locale_t shown_in);
/// One JSON array of one object per job; bytes that are not UTF-8 are replaced.
std::string listing_json(const JobStatus* statuses, int count);

// ---------------------------------------------------------------------------
// The metrics (metrics.cc)

/// The jobs' gauges in the text format that Prometheus scrapes from the
/// node exporter's textfile directory, one series per job name.
std::string listing_prometheus(const JobStatus* statuses, int count);

// ---------------------------------------------------------------------------
// Writing the output (output.cc)

/// Where the output goes: standard output, or a file replaced whole.
struct OutputFile {
  const char* path;  ///< --output=FILE as given; null for standard output
  const char* name;  ///< the last part of path
  int dir_fd;        ///< path's directory, open; -1 for standard output
};

/// The file given (a relative path is taken from the start directory, as
/// the table's is), its directory opened now; a directory that cannot be
/// opened ends the program with status 1.
OutputFile output_file(const char* path, int start_dir_fd);

/// Writes the whole text and closes standard output, or replaces the file
/// with a new one holding the whole text. Any failure ends the program with
/// status 1, "Can't write WHAT" or "Can't write WHAT to FILE", and leaves a
/// file to be replaced as it was.
void write_output(std::string_view text, const OutputFile& output, const char* what);

// ---------------------------------------------------------------------------
// Hints for a table that may not mean what it says (lint.cc)

/// Reads the table from the start directory, as load_table does, and the
/// spool's file names, and gives the hints, each for a line of its own:
/// "TABLE:LINE: text" for a table line, LINE being the physical line it
/// starts on, and "SPOOL/NAME: text" for a stamp that no job line names.
/// Empty when there is nothing to say. The texts quote the table's bytes as
/// they are; printing makes them fit for a terminal. The spool is the
/// working directory afterwards.
std::vector<std::string> table_hints(int start_dir_fd);

/// The hint for a spool on a GlusterFS mount whose client was not started
/// with direct-io-mode=enable; empty for any other spool. It looks at the
/// working directory.
std::string spool_mount_hint();

// ---------------------------------------------------------------------------
// Seams: inner steps that only the unit tests reach.

/// How far the search for a due day reaches, before and after today: one
/// whole 400-year cycle of the calendar.
inline constexpr std::int32_t search_horizon = 146097;

/// Whether the scheduler, started on the day, would find the job due, with
/// the month and year lengths around that day.
bool due_on(std::string_view stamp, std::int32_t day, std::int32_t period_days, PeriodKind kind);

/// The first day from today on that is due; 0 when none is within the search.
/// A period counted in days needs no search: the day after it ends.
std::int32_t next_due_day(std::string_view stamp, std::int32_t today_number, std::int32_t period_days,
                          PeriodKind kind);

/// For how many days before today the job has been due without a break,
/// counted only over the days after the stamped one, however many; 0 for a
/// stamp that holds no date and for a job not due today.
std::int32_t days_due(std::string_view stamp, std::int32_t today_number, std::int32_t period_days,
                      PeriodKind kind);

/// Whether a process with this /proc/PID/comm and /proc/PID/exe (either
/// empty where it could not be read) is a lapsero.
bool names_lapsero(std::string_view comm, std::string_view exe);

/// "YYYY-MM-DD".
std::string date_text(std::int32_t day);
/// "due", "due for 2 days", "waiting, in 3 days", "in progress (pid 42)", ...
std::string state_text(const JobStatus& status);
/// "ok", "exit 3", "signal 9", "abnormal", with " (mailed)"; "-" without a line.
std::string result_text(const LastResult& result);
/// "2024-03-12T10:00:05+01:00": the local time with its offset from UTC.
std::string local_time_text(std::time_t when);

/// One line the scheduler logs when it has reaped a job, taken apart.
struct OutcomeLine {
  std::string_view name;  ///< into the message
  Outcome outcome;
  std::int32_t number;  ///< the exit status or the signal number; 0 for ok and abnormal
  bool mailed;          ///< " (mailing output)" ended the line
};

/// Takes apart "Job `NAME' terminated", with " (exit status: N)", " due to
/// signal N" or " abnormally", and " (mailing output)"; false for any other
/// message, and for one that was cut short.
bool parse_outcome_line(std::string_view message, OutcomeLine* line);

/// The text as a label value of the metrics: bytes that are not UTF-8
/// become U+FFFD; backslash, double quote and newline are escaped.
std::string label_value(std::string_view text);

/// What the lint gathers while a table is read, handed to lint_line as its
/// context: the hints so far, in line order, and the physical line each job
/// name is first used on.
struct TableLint {
  std::vector<std::string> hints;
  std::unordered_map<std::string, std::int32_t> first_line_of_name;
};

/// The lint's observer for read_table: adds the line's hints, each as
/// "TABLE:LINE: text", to the TableLint its context points to.
void lint_line(const LineFacts& facts, void* context);

/// The hints for one logical line, in this order: the reader's refusal, the
/// lines a backslash joined to it that would have been a job line or a
/// setting on their own, a command that is only a comment, NUL bytes
/// dropped, a backslash kept at the end of the file, a carriage return at
/// its end, blanks that begin a setting's value, backslashes removed, and,
/// for a job, the first line that already used its name (name_first_line,
/// a physical line; 0 for none). Only the joined lines for a blank or
/// comment line.
std::vector<std::string> line_hints(const LineFacts& facts, std::int32_t name_first_line);

/// One line of /proc/self/mountinfo, taken apart.
struct MountEntry {
  dev_t device;             ///< the file system's device, as st_dev gives it
  std::string mount_point;  ///< escapes ("\040") made plain
  std::string type;         ///< "ext4", "fuse.glusterfs", ...
  std::string source;       ///< "brickhost:/shared", escapes made plain
  std::string options;      ///< the mount's options, then the file system's
};

/// Takes a mountinfo line apart; false for one that is not in its form.
bool parse_mount_line(std::string_view line, MountEntry* entry);
/// The mount of the device that a path on it reaches: of several, the last.
bool find_mount(std::string_view mountinfo, dev_t device, MountEntry* entry);
/// Whether a GlusterFS client's /proc/PID/cmdline (arguments ended by NUL
/// bytes) serves the mount point with --direct-io-mode enabled.
bool client_enables_direct_io(std::string_view cmdline, std::string_view mount_point);
/// The hint for a spool on this mount, given whether its client enables
/// direct-io-mode; empty for anything but fuse.glusterfs without it.
std::string glusterfs_hint(const MountEntry& mount, bool client_direct_io);
