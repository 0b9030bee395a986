// Hints for a table that lapsero accepts but that may not do what its
// author meant, and for stamps that no job uses any more.
//
// lapsero reads a table by rules that are simple but easy to trip over: a
// carriage return is an ordinary character, the blanks after the "=" of a
// setting belong to its value, a backslash that does not end a line
// vanishes, two lines of one name share a stamp, and the stamp of a renamed
// job stays behind for ever. lapsero -T calls such a table sound, and by
// its rules it is; a hint says what lapsero will do with the line and what
// was probably meant. The table is read by the scheduler's own reader,
// which tells each line's facts to the observer here, so that every hint
// speaks of the very bytes lapsero would run, and its refusals come in its
// own words.
//
// A hint is placed at the physical line where its logical line starts, the
// line an editor shows; the reader's messages keep lapsero's own count, in
// which a continued line counts once.
//
// The worst trap is a backslash at the end of a line that joins a job line
// after it: that job is never seen, and lapsero -T cannot tell. Each
// physical line a backslash joined is tried on its own against the reader's
// own expressions, and one that would be a job line or a setting is named.
//
// Everything found while the table is read is kept in a TableLint that the
// caller owns and hands to the reader's observer as its context. A name is
// kept with the first line that uses it, so that a table of many lines of
// one name costs one hint per line, not one per pair.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "status/status.h"

namespace {

constexpr char crlf_note[] = "the line ends in a carriage return (a table saved with CRLF line ends)";
constexpr char plain_newlines[] = "; save the table with plain newlines";
constexpr char only_at_the_end[] = "; a backslash continues a line only as its last character";
constexpr char variable_name_bytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
constexpr char stale_stamp_text[] =
    "no job line names this stamp (left behind by a renamed or removed job), so lapsero neither "
    "reads nor removes it; remove it with rm, and after a rename run `lapsero -u NEWNAME' if the "
    "job should not run at the next start";

/// The setting's name and value, as lapsero puts them into the environment.
std::string_view setting_name(const EnvSetting* setting) {
  const std::string_view assignment = setting->assignment;
  return assignment.substr(0, assignment.find('='));
}

std::string_view setting_value(const EnvSetting* setting) {
  const std::string_view assignment = setting->assignment;
  return assignment.substr(assignment.find('=') + 1);
}

std::string carriage_return_hint(const LineFacts& facts) {
  std::string text = crlf_note;
  if (facts.job)
    text += ", which lapsero keeps as the last character of the command";
  else if (facts.setting)
    text += ", which lapsero keeps as the last character of the value of " +
            std::string(setting_name(facts.setting));
  return text + plain_newlines;
}

/// The value's leading blanks stay in it; those before "=" are dropped and
/// change nothing, so only the former call for a hint.
std::string blank_value_hint(const EnvSetting* setting) {
  const std::string name = std::string(setting_name(setting));
  const std::string_view value = setting_value(setting);
  const std::string_view meant = value.substr(std::min(value.find_first_not_of(" \t"), value.size()));
  return "the blanks after \"=\" belong to the value: lapsero sets " + name + " to \"" + std::string(value) +
         "\"; write " + name + "=" + std::string(meant);
}

/// Says what became of the first backslash that did not continue the line.
std::string backslash_hint(const LineFacts& facts) {
  const int after = facts.after_stray;
  const std::string more =
      facts.stray_backslashes > 1
          ? " (and " + std::to_string(facts.stray_backslashes - 1) + " more on this line)"
          : "";
  const std::string remedy =
      std::string(only_at_the_end) + (facts.job ? ", and a command that needs one belongs in a script" : "");
  if (after == ' ' || after == '\t')
    return "a backslash before a blank is removed and does not continue the line" + more +
           "; to continue it, end the line with the backslash";
  if (after == '\r')
    return "a backslash before a carriage return is removed and does not continue the line" + more +
           plain_newlines;
  if (after == '\\') return "a backslash before another backslash is removed" + more + remedy;
  if (after > ' ' && after < 0x7f) {
    const char kept[2] = {static_cast<char>(after), '\0'};
    return std::string("a backslash is removed: lapsero reads \"\\") + kept + "\" as \"" + kept + "\"" +
           more + remedy;
  }
  return "a backslash is removed" + more + remedy;
}

/// What a joined line would be on its own.
enum class Alone { nothing, job, setting };

/// Tries a joined line on its own with the reader's expressions; the name
/// of the job or the setting it would make goes to *name.
Alone alone_as(std::string piece, std::string* name) {
  char* found = nullptr;
  if (match_captures(blank_or_comment_expression, piece.data(), {}) != 0) return Alone::nothing;
  if (match_captures(interval_job_expression, piece.data(), {nullptr, nullptr, &found, nullptr}) == 1 ||
      match_captures(named_job_expression, piece.data(), {nullptr, nullptr, &found, nullptr}) == 1) {
    *name = found;
    return Alone::job;
  }
  if (match_captures(setting_expression, piece.data(), {&found, nullptr}) != 1) return Alone::nothing;
  // A name that no environment variable has is more likely an option of
  // the command continued ("--exclude=x") than a setting that was meant.
  const std::string_view setting = found;
  if (setting.find_first_not_of(variable_name_bytes) != std::string_view::npos ||
      (setting[0] >= '0' && setting[0] <= '9'))
    return Alone::nothing;
  *name = setting;
  return Alone::setting;
}

/// A hint for each physical line that a backslash joined to this one and
/// that lapsero would have acted on by itself.
void add_swallowed_line_hints(const LineFacts& facts, std::vector<std::string>& hints) {
  const std::string_view text = facts.text;
  for (std::int32_t i = 0; i < facts.continuation_count; ++i) {
    const Continuation& joined = facts.continuations[i];
    // The joined line runs to the blank that stands for the next backslash.
    const std::size_t end = i + 1 < facts.continuation_count
                                ? static_cast<std::size_t>(facts.continuations[i + 1].offset - 1)
                                : text.size();
    const std::size_t start = static_cast<std::size_t>(joined.offset);
    std::string name;
    const Alone alone = alone_as(std::string(text.substr(start, end - start)), &name);
    if (alone == Alone::nothing) continue;
    const bool job = alone == Alone::job;
    const std::string n = std::to_string(joined.backslash_line);
    const std::string next = std::to_string(joined.backslash_line + 1);
    hints.push_back("the backslash at the end of line " + n + " joins line " + next + ", which reads as " +
                    (job ? "a job line of its own (`" + name + "')" : "a setting of its own (" + name + ")") +
                    ", into this line: " + (job ? "that job never runs" : "that setting is never made") +
                    "; end line " + n + " without the backslash if line " + next + " should stand alone");
  }
}

/// The NUL bytes the reader dropped from the line.
std::string nul_hint(std::int32_t count) {
  const std::string what = count == 1
                               ? "a NUL byte, which lapsero drops as if it were"
                               : std::to_string(count) + " NUL bytes, which lapsero drops as if they were";
  return "the line holds " + what +
         " not there; save the table as plain text (a UTF-16 file holds a NUL in every other "
         "byte)";
}

void add_hint(TableLint& lint, std::string_view where, const std::string& text) {
  lint.hints.push_back(std::string(where) + ": " + text);
}

/// Opens the working directory for reading without changing its access
/// time, where we may: a look at the spool is no use of it.
DIR* open_spool_quietly() {
  constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC;
  int fd = open(".", flags | O_NOATIME);
  // O_NOATIME is only for the directory's owner (or root).
  if (fd < 0 && errno == EPERM) fd = open(".", flags);
  if (fd < 0) return nullptr;
  DIR* const directory = fdopendir(fd);
  if (!directory) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return directory;
}

/// The names of the regular files in the working directory, sorted. One
/// that cannot be read is a problem, reported, and gives no names.
std::vector<std::string> spool_files() {
  std::vector<std::string> names;
  DIR* const directory = open_spool_quietly();
  if (!directory) {
    problem_sys("Can't read %s", settings.spool_dir);
    return names;
  }
  for (;;) {
    errno = 0;
    const dirent* const entry = readdir(directory);
    if (!entry) break;
    struct stat st {};
    if (fstatat(dirfd(directory), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names.emplace_back(entry->d_name);
  }
  if (errno != 0) problem_sys("Can't read %s", settings.spool_dir);
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

/// The path of a spool entry as a hint shows it.
std::string spool_entry_path(std::string_view spool_dir, std::string_view name) {
  std::string path(spool_dir);
  if (path.empty() || path.back() != '/') path += '/';
  return path + std::string(name);
}

}  // namespace

std::vector<std::string> line_hints(const LineFacts& facts, std::int32_t name_first_line) {
  std::vector<std::string> hints;
  if (facts.problem) hints.emplace_back(facts.problem);
  add_swallowed_line_hints(facts, hints);
  // A blank or comment line does nothing, whatever else it holds.
  if (!facts.job && !facts.setting && !facts.problem) return hints;
  const std::string_view text = facts.text;
  if (facts.job && facts.job->command[0] == '#')
    hints.emplace_back(
        "the command is only a comment: the shell runs nothing, and the job is stamped as if it had run");
  if (facts.nul_bytes > 0) hints.push_back(nul_hint(facts.nul_bytes));
  // Every other backslash is removed or joins lines: only the file's last
  // byte stays.
  if (!text.empty() && text.back() == '\\' && (facts.job || facts.setting))
    hints.push_back(
        "the file ends in a backslash, which continues nothing and stays as the last character of " +
        (facts.job ? std::string("the command")
                   : "the value of " + std::string(setting_name(facts.setting))) +
        "; remove it");
  if (!text.empty() && text.back() == '\r') hints.push_back(carriage_return_hint(facts));
  if (facts.setting) {
    const std::string_view value = setting_value(facts.setting);
    if (!value.empty() && (value[0] == ' ' || value[0] == '\t'))
      hints.push_back(blank_value_hint(facts.setting));
  }
  if (facts.stray_backslashes > 0) hints.push_back(backslash_hint(facts));
  if (facts.job && name_first_line > 0)
    hints.push_back("the job name `" + std::string(facts.job->name) + "' is already used on line " +
                    std::to_string(name_first_line) +
                    ": lines of one name share one stamp file, so a run of one of them stamps them all; "
                    "give each job a name of its own");
  return hints;
}

void lint_line(const LineFacts& facts, void* context) {
  TableLint& lint = *static_cast<TableLint*>(context);
  std::int32_t name_first_line = 0;
  if (facts.job) {
    const auto [place, fresh] = lint.first_line_of_name.try_emplace(facts.job->name, facts.first_physical);
    if (!fresh) name_first_line = place->second;
  }
  const std::string where = std::string(settings.table_path) + ":" + std::to_string(facts.first_physical);
  for (const std::string& hint : line_hints(facts, name_first_line)) add_hint(lint, where, hint);
}

std::vector<std::string> table_hints(int start_dir_fd) {
  TableLint lint;
  load_table(start_dir_fd, lint_line, &lint);
  if (table_fault && table_fault->found)
    lint.hints.insert(lint.hints.begin(),
                      std::string(settings.table_path) +
                          ": lapsero refuses this table and runs none of its jobs: " + table_fault->reason);
  const OwnershipFault spool = spool_fault();
  if (spool.found)
    add_hint(lint, settings.spool_dir,
             std::string("lapsero refuses this spool directory and runs no job: ") + spool.reason);
  // The working directory is the spool now.
  for (const std::string& name : spool_files())
    if (lint.first_line_of_name.find(name) == lint.first_line_of_name.end())
      add_hint(lint, spool_entry_path(settings.spool_dir, name), stale_stamp_text);
  if (const std::string hint = spool_mount_hint(); !hint.empty()) add_hint(lint, settings.spool_dir, hint);
  return std::move(lint.hints);
}
