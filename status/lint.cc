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

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "base/diagnostics.h"
#include "status/status.h"

namespace {

constexpr char crlf_note[] = "the line ends in a carriage return (a table saved with CRLF line ends)";
constexpr char plain_newlines[] = "; save the table with plain newlines";
constexpr char only_at_the_end[] = "; a backslash continues a line only as its last character";
constexpr char stale_stamp_text[] =
    "no job line names this stamp (left behind by a renamed or removed job), so lapsero neither "
    "reads nor removes it; remove it with rm, and after a rename run `lapsero -u NEWNAME' if the "
    "job should not run at the next start";

/// "line 3", "lines 3 and 5", "lines 3, 5 and 8".
std::string lines_text(const std::vector<std::int32_t>& lines) {
  std::string text = lines.size() == 1 ? "line " : "lines ";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += i + 1 == lines.size() ? " and " : ", ";
    text += std::to_string(lines[i]);
  }
  return text;
}

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

// What the observer gathers while the table is read: the hints so far, in
// line order, and the physical lines each job name has been seen on.
std::vector<std::string> found;
std::map<std::string, std::vector<std::int32_t>, std::less<>> lines_of_name;

void add_hint(std::string_view where, const std::string& text) {
  found.push_back(std::string(where) + ": " + text);
}

void observe_line(const LineFacts& facts) {
  std::vector<std::int32_t>* same_name = nullptr;
  if (facts.job) same_name = &lines_of_name[facts.job->name];
  const std::string where = std::string(settings.table_path) + ":" + std::to_string(facts.first_physical);
  for (const std::string& hint : line_hints(facts, same_name ? *same_name : std::vector<std::int32_t>{}))
    add_hint(where, hint);
  if (same_name) same_name->push_back(facts.first_physical);
}

/// The names of the regular files in the working directory, sorted. One
/// that cannot be read is a problem, reported, and gives no names.
std::vector<std::string> spool_files() {
  std::vector<std::string> names;
  DIR* const directory = opendir(".");
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

std::vector<std::string> line_hints(const LineFacts& facts, const std::vector<std::int32_t>& same_name) {
  std::vector<std::string> hints;
  // A blank or comment line does nothing, whatever it holds.
  if (!facts.job && !facts.setting && !facts.problem) return hints;
  if (facts.problem) hints.emplace_back(facts.problem);
  const std::string_view text = facts.text;
  if (!text.empty() && text.back() == '\r') hints.push_back(carriage_return_hint(facts));
  if (facts.setting) {
    const std::string_view value = setting_value(facts.setting);
    if (!value.empty() && (value[0] == ' ' || value[0] == '\t'))
      hints.push_back(blank_value_hint(facts.setting));
  }
  if (facts.stray_backslashes > 0) hints.push_back(backslash_hint(facts));
  if (facts.job && !same_name.empty())
    hints.push_back("the job name `" + std::string(facts.job->name) + "' is used on " +
                    lines_text(same_name) +
                    (same_name.size() == 1 ? " too: the two lines share one stamp file, so when one of them "
                                             "runs, the other is stamped as well"
                                           : " too: the lines share one stamp file, so when one of them "
                                             "runs, the others are stamped as well") +
                    "; give each job a name of its own");
  return hints;
}

std::vector<std::string> table_hints(int start_dir_fd) {
  found.clear();
  lines_of_name.clear();
  load_table(start_dir_fd, observe_line);
  // The working directory is the spool now.
  for (const std::string& name : spool_files())
    if (lines_of_name.find(name) == lines_of_name.end())
      add_hint(spool_entry_path(settings.spool_dir, name), stale_stamp_text);
  if (const std::string hint = spool_mount_hint(); !hint.empty()) add_hint(settings.spool_dir, hint);
  return found;
}
