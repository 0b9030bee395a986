// The job table: records, lists and arenas, and the table file reader.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "lapsero.h"

/// The operands from argv[first] on are the job patterns; without any, the
/// one pattern "*".
void take_job_patterns(int argc, char** argv, int first);

/// Where a backslash at the end of a physical line joined the next one.
struct Continuation {
  std::int32_t backslash_line;  ///< the physical line that ends in the backslash, from 1
  std::int32_t offset;          ///< where the joined line's bytes start in LineFacts::text
};

/// What the reader saw of one logical line, beyond what it registered: told
/// to an observer of read_table right after the line has been handled. The
/// texts are valid during that call only.
struct LineFacts {
  const char* text;                ///< the line as assembled, before it was cut into fields
  std::int32_t number;             ///< as lapsero's messages count: a continued line once
  std::int32_t first_physical;     ///< the physical line it starts on, from 1
  std::int32_t stray_backslashes;  ///< backslashes removed that did not continue the line
  int after_stray;                 ///< the byte after the first of them; 0 for a NUL
  std::int32_t nul_bytes;          ///< NUL bytes dropped
  const EnvSetting* setting;       ///< the setting it registered, or nullptr
  const JobEntry* job;             ///< the job it registered, or nullptr
  const char* problem;             ///< the reader's message when it refused the line, or nullptr
  /// Where backslashes joined physical lines into this one, in order; the
  /// bytes of each joined line run to the blank that stands for the next
  /// backslash, or to the end of the text.
  const Continuation* continuations;
  std::int32_t continuation_count;  ///< how many
};

/// Called by read_table for each logical line, with the context given to it.
using LineObserver = void (*)(const LineFacts& facts, void* context);

/// Reads the table into the job and environment lists, relative to the start
/// directory; returns with the spool directory as working directory again.
void load_table(int start_dir_fd, LineObserver observer = nullptr, void* context = nullptr);
/// Reads a whole table from an open stream into the job and environment
/// lists: sets up the arenas, empties the lists, and registers or reports
/// every logical line. The stream stays open. With an observer, a line's
/// problem is counted and handed to it instead of being reported; what it
/// reads and registers is the same.
void read_table(std::FILE* stream, LineObserver observer = nullptr, void* context = nullptr);

// ---------------------------------------------------------------------------
// Whom lapsero trusts with what it runs (ownership.cc)

/// Why lapsero must not trust a table or a spool directory.
struct OwnershipFault {
  bool found;       ///< it must not be trusted
  char reason[80];  ///< "owned by uid 65534, must be owned by root", "mode 0666, must not be ..."
};

/// Whether a file or directory may steer a lapsero whose real user is
/// caller: it must be owned by root or by caller, and writable by neither
/// group nor others.
OwnershipFault ownership_fault(const struct stat& st, uid_t caller);

/// Where load_table puts why lapsero would refuse the table it opened, and
/// reads on (lapsero-status); null, as in lapsero, makes it refuse the
/// table through bail.
extern OwnershipFault* table_fault;

/// The same judgement of the working directory, the spool, for a lapsero
/// of this process's real user; bails when it cannot be looked at.
OwnershipFault spool_fault();

// ---------------------------------------------------------------------------
// Records, lists and arenas (records.cc): used by the reader, and by the
// fuzz target, which empties the lists between its inputs

/// Sets up both arenas: LineArena first, then RecordArena.
void init_arenas();
/// Empties both lists.
void reset_lists();
/// Appends a job; it takes the current env_tail as its last_env.
void append_job(JobEntry* job);
/// Appends an environment setting.
void append_setting(EnvSetting* setting);

// ---------------------------------------------------------------------------
// Seams: the reader's inner steps, which only the unit tests reach
// (reader.cc).

/// The next logical line of the table, in the LineArena; nullptr at the end.
char* read_logical_line();
/// The stream read_logical_line takes its bytes from.
extern std::FILE* table_stream;

/// Matches an extended expression; on 1 each wanted group (a non-null place)
/// has been cut out of the line in place. 0: no match; -1: failure.
int match_captures(const char* pattern, char* line, std::initializer_list<char**> places);

/// Decimal digits to 0..2147483647, or -1 when out of range.
std::int32_t to_count(const char* digits);
/// Position of the first job pattern matching name, or -1.
std::int32_t pattern_index_for(const char* name);

/// The four kinds of line, tried in this order.
inline constexpr const char blank_or_comment_expression[] = "^[ \t]*($|#)";
inline constexpr const char setting_expression[] = "^[ \t]*([^ \t=]+)[ \t]*=(.*)$";
inline constexpr const char interval_job_expression[] =
    "^[ \t]*([[:digit:]]+)[ \t]+([[:digit:]]+)[ \t]+([^ \t/]+)[ \t]+([^ \t].*)$";
inline constexpr const char named_job_expression[] =
    "^[ \t]*(@[^ \t]+)[ \t]+([[:digit:]]+)[ \t]+([^ \t/]+)[ \t]+([^ \t].*)$";
