// Records and process-wide state shared by every subsystem of lapsero.
//
// lapsero is one single-threaded process. Everything it knows lives in the
// variables declared here: the settings fixed at start-up, the job table read
// from the table file, the run list chosen from it, and the counters and flags
// of the run loop. Each variable says who writes it and who reads it, and all
// of them are defined in one place, lapsero.cc, beside this header. Two
// layers keep state of their own, declared in their own headers: the
// diagnostics (base/diagnostics.h), and the table reader, whose stream
// (table_stream, table/table.h) the unit tests replace.
//
// Records are plain and trivially destructible: they live in an obstack
// (RecordArena) until the process exits and are never destroyed one by one.
// Texts in records are `const char*` into that arena.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <type_traits>

#include <obstack.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

// ---------------------------------------------------------------------------
// Command line (written only by start-up, read everywhere)

/// What the command line asked for.
struct RunSettings {
  char* table_path;       ///< -t; the table file read by load_table (a heap copy in lapsero)
  char* spool_dir;        ///< -S; working directory from start-up on (a heap copy in lapsero)
  int sequential;         ///< -s or -n: start one job at a time
  int force_run;          ///< -f: every selected job counts as due
  int stamp_only;         ///< -u: update mode
  int no_delay;           ///< -n: ignore delays, order by pattern first
  int foreground;         ///< -d: do not go into the background
  int quiet;              ///< -q: notices stay off standard error
  int test_table;         ///< -T: test mode
  char** job_patterns;    ///< the operands themselves, or the one pattern "*"
  int job_pattern_count;  ///< at least 1
};

extern RunSettings settings;

// ---------------------------------------------------------------------------
// Start-up values (written by start-up). The program's name, the process
// that logs "Aborted" and whether diagnostics reach standard error belong to
// the diagnostics, in base/diagnostics.h.

extern const char* mail_charset;  ///< charset of every mail's Content-Type line; read by launch
extern int saved_cwd_fd;          ///< start directory; handed to load_table, closed after it
extern mode_t saved_umask;        ///< umask found at start; restored in every child
extern sigset_t saved_sigmask;    ///< signal mask found at start; restored in every child
extern rlimit saved_nofile;       ///< descriptor limit found at start; restored in every child

extern std::time_t start_time;  ///< when the start date was fixed; delays count from it
extern int start_year;          ///< start date: full year; written into stamps
extern int start_month;         ///< start date: 1 to 12
extern int start_mday;          ///< start date: 1 to 31
extern int today;               ///< day number of the start date; the due test counts from it

/// Lengths of the months and years around a date.
struct CalendarLengths {
  std::int32_t previous_month;  ///< days of the month before
  std::int32_t current_month;   ///< days of the month itself
  std::int32_t previous_year;   ///< days of the calendar year before
  std::int32_t current_year;    ///< days of the year itself
};

/// Around the start date; the named periods count with them, so that every
/// due test of a run judges by one date, however late it is made.
extern CalendarLengths start_lengths;

// ---------------------------------------------------------------------------
// The job table (written by the table reader, then fixed)

/// What a job's period counts in.
enum class PeriodKind : std::int32_t {
  none = 0,     ///< interval job: period_days days
  monthly = 1,  ///< named period recognised as monthly
  yearly = 2,   ///< named period recognised as yearly
};

/// One environment line of the table.
struct EnvSetting {
  const char* assignment;  ///< "NAME=value", handed to putenv as it stands
  EnvSetting* next;        ///< next setting in table order
};

/// One job line of the table, with the job's run-time state.
struct JobEntry {
  std::int32_t period_days;    ///< interval in days; 0 for a named period
  PeriodKind period_kind;      ///< none, monthly or yearly
  std::int32_t delay_minutes;  ///< minutes after start_time before the launch
  const char* name;            ///< job name and name of its stamp file
  const char* command;         ///< handed to /bin/sh -c
  const char* mail_to;         ///< recipient, fixed at launch
  std::int32_t table_line;     ///< logical table line, from 1
  std::int32_t pattern_index;  ///< first job pattern matching name, -1 if none
  int stamp_fd;                ///< open stamp file; holds the job lock in the run mode
  int output_fd;               ///< anonymous output file, from launch until reaped
  std::int32_t header_size;    ///< output file size right after the mail header
  pid_t job_pid;               ///< running job shell, 0 when none
  pid_t mailer_pid;            ///< running mailer, 0 when none
  JobEntry* next;              ///< next job in table order
  EnvSetting* last_env;        ///< last setting above this line, nullptr if none
};

static_assert(std::is_trivially_destructible_v<JobEntry>);
static_assert(std::is_trivially_destructible_v<EnvSetting>);

extern JobEntry* job_head;    ///< first job in table order
extern JobEntry* job_tail;    ///< last job; used while the table is read
extern EnvSetting* env_head;  ///< first setting in table order
extern EnvSetting* env_tail;  ///< last setting; a job appended takes it as last_env

extern obstack RecordArena;  ///< records, their texts and the run list; never released
extern obstack LineArena;    ///< the logical line being parsed; released after each line
extern int line_number;      ///< logical lines read so far; meaningful while the table is read

// ---------------------------------------------------------------------------
// The run list (written once by build_run_list)

extern JobEntry** run_list;  ///< jobs of this run, in run order
extern int run_count;        ///< entries of run_list

// ---------------------------------------------------------------------------
// Run loop state

extern int jobs_running;     ///< run-list entries with a job_pid; launch raises, reaper lowers
extern int mailers_running;  ///< run-list entries with a mailer_pid; reaper raises and lowers

extern volatile std::sig_atomic_t got_alarm;  ///< set by the SIGALRM handler; cleared by the run loop
extern volatile std::sig_atomic_t got_child;  ///< set by the SIGCHLD handler; cleared by the wait steps
extern volatile std::sig_atomic_t got_usr1;   ///< set by the SIGUSR1 handler; cleared by the wait steps

/// Fixed paths of the platform that the scheduler relies on.
inline constexpr const char shell_path[] = "/bin/sh";
inline constexpr const char mailer_path[] = "/usr/sbin/sendmail";
