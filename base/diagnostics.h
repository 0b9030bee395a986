// The base layer: diagnostics and checked calls, which every other part of
// lapsero uses and which use nothing above them. What the diagnostics need
// to know of the program (its name, whether notices are wanted, where
// messages go, which process is the main one) is kept here, given once at
// start-up, so that this layer reads nothing a higher one defines.
//
// A diagnostic has one of two levels, notice for progress and error for
// failures. It always goes to the system log (facility cron, with the pid)
// and, while stderr_off is 0, to descriptor 2 as well.
//
// The checked calls (fork_or_bail, open_onto, close_or_bail, alloc_or_bail)
// and bail/bail_sys either succeed or end the process with status 1 after
// logging why, so that no caller checks for failure. A bail in the
// scheduler's own process logs "Aborted" as well; in a child it ends only
// the child. Every failure of a program ends through end_after_failure, so
// there is one way to fail: nothing else calls exit with status 1.
//
// fork_or_bail and close_or_bail serve only the scheduler's run, and live
// in a file of their own (process_calls.cc) that only the scheduler links.
#pragma once

#include <sys/types.h>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

/// Lets the compiler check every diagnostic's arguments against its format.
#define LAPSERO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// ---------------------------------------------------------------------------
// What the diagnostics know of the program

/// System log ident and prefix of error lines on standard error; set by
/// take_program_name.
extern const char* program_name;
/// 1: diagnostics go to the system log only. Set once in the background,
/// and switched by children while they rearrange their descriptors.
extern int stderr_off;
/// The program's own process, 0 until start-up knows it; bail adds
/// "Aborted" only there, and ends any other process with _exit.
extern pid_t main_pid;
/// Error-level diagnostics so far; read by lapsero's test mode and by
/// lapsero-status for its exit status.
extern int problem_count;
/// 1: problem and problem_sys are counted and formatted into message_buffer
/// (without the text of errno), and go nowhere else, for a caller that
/// reports them in its own way (the table reader, read for lapsero-status
/// --lint). bail and bail_sys still go out, "Aborted" included.
extern int problems_held;

/// Room for 150 characters and the terminator.
inline constexpr int message_size = 151;

/// The latest formatted message: where a held problem's text is taken
/// from (the reader's line observer), and what the unit tests read.
extern char message_buffer[message_size];

/// Fixes, once the command line is known, how diagnostics go out: with quiet
/// set, notices stay off standard error; with to_syslog 0, nothing reaches
/// the system log (lapsero-status, a listing that must not put an
/// administrator's reading into the log).
void set_up_diagnostics(int quiet, int to_syslog);

// ---------------------------------------------------------------------------
// Diagnostics

/// Progress, at notice level.
void notice(const char* format, ...) LAPSERO_PRINTF(1, 2);
/// Progress, at notice level, followed by the text of errno.
void notice_sys(const char* format, ...) LAPSERO_PRINTF(1, 2);
/// A failure that affects one line or one job: error level, counted.
void problem(const char* format, ...) LAPSERO_PRINTF(1, 2);
/// As problem, followed by the text of errno.
void problem_sys(const char* format, ...) LAPSERO_PRINTF(1, 2);
/// A failure that leaves the run meaningless: error level, then exit status 1.
[[noreturn]] void bail(const char* format, ...) LAPSERO_PRINTF(1, 2);
/// As bail, followed by the text of errno.
[[noreturn]] void bail_sys(const char* format, ...) LAPSERO_PRINTF(1, 2);
/// The one way out of a failed program, once its message is out: "Aborted"
/// in the program's own process, then status 1; a child ends at once.
[[noreturn]] void end_after_failure();
/// bails "Memory exhausted"; the new-handler of a program that allocates
/// with new, so that running out of memory fails like any other failure
/// instead of aborting.
[[noreturn]] void memory_exhausted();

/// Ends the system log connection; children call it right before exec.
void close_syslog();

/// fork, or bail "Can't fork" (process_calls.cc, the scheduler's alone).
pid_t fork_or_bail();
/// Opens path onto target_fd (any descriptor if target_fd < 0), or bails.
int open_onto(int target_fd, const char* path, int flags);
/// close, or bail (process_calls.cc, the scheduler's alone).
void close_or_bail(int fd);
/// malloc, or bail "Memory exhausted"; never returns nullptr.
void* alloc_or_bail(std::size_t size);

// ---------------------------------------------------------------------------
// The first steps of a program (process_start.cc), which lapsero and
// lapsero-status share

/// program_name: the part of the first argument after its last slash, or
/// the whole argument; left as it is when there is none.
void take_program_name(int argc, char** argv);
/// A program may be started with 0, 1 or 2 closed. Its own opens would then
/// take those numbers: the start directory would land on 0 and be closed
/// again with standard input, or a stamp file would become descriptor 2 and
/// receive diagnostics. Fills each gap with /dev/null, before anything else
/// opens a file.
void fill_standard_descriptors();
/// Writes the text and then the ending to standard output and exits with 0;
/// if the output cannot be written, says so on standard error and exits
/// with 1, so that a version or usage text that was lost is no success.
[[noreturn]] void print_and_exit(const char* text, const char* ending);

// ---------------------------------------------------------------------------
// Numbers (numbers.cc)

/// Decimal digits alone, leading zeros allowed, no sign and no blank, up
/// to limit: their value in number; false, number untouched, for anything
/// else, an empty text and a value past the limit included.
bool whole_number(std::string_view text, std::uint64_t limit, std::uint64_t* number);
