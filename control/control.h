// Control: command line and start-up, diagnostics and checked calls, the run
// sequence and the run loop.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <sys/types.h>

#define LAPSERO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// ---------------------------------------------------------------------------
// Diagnostics (diagnostics.cc)

/// Room for 150 characters and the terminator.
inline constexpr int message_size = 151;

/// The latest formatted message.
extern char message_buffer[message_size];

/// Formats into message_buffer, cutting a text of 150 characters or more to
/// its first 138 followed by " (truncated)".
void format_message(const char* format, std::va_list args) LAPSERO_PRINTF(1, 0);

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

/// Ends the system log connection; children call it right before exec.
void close_syslog();

/// fork, or bail "Can't fork".
pid_t fork_or_bail();
/// Opens path onto target_fd (any descriptor if target_fd < 0), or bails.
int open_onto(int target_fd, const char* path, int flags);
/// close, or bail.
void close_or_bail(int fd);
/// malloc, or bail "Memory exhausted"; never returns nullptr.
void* alloc_or_bail(std::size_t size);

// ---------------------------------------------------------------------------
// Command line and start-up (startup.cc)

/// Everything from the first step of main up to the start message.
void start_up(int argc, char** argv);

/// The usage text of -h.
extern const char usage_text[];
/// The version text of -V.
extern const char version_text[];

// ---------------------------------------------------------------------------
// Run sequence (run_sequence.cc) and run loop (run_loop.cc)

/// Reads the table, builds the run list and carries out the chosen mode.
[[noreturn]] void run_sequence();

/// The run mode: announces, starts each job at its moment, waits, exits 0.
[[noreturn]] void run_jobs();
