// How each job's last run ended, from the lines the scheduler logged.
//
// A job's stamp says when it last ran, never whether that run worked: the
// scheduler stamps a job that failed as it stamps one that succeeded. What
// it does say, at the job's end, goes to the system log at facility cron
// under its own name: "Job `NAME' terminated", with " (exit status: N)",
// " due to signal N" or " abnormally", and " (mailing output)" when the job
// printed. Where journald runs, those lines are in the journal, with the
// sender's user id beside them, which no other process can fake.
//
// The journal is read newest first, and a job takes the first of its lines
// seen, that is its latest. Only a scheduler that runs as the owner of the
// job's stamp writes that stamp, so only its lines count: another user's
// scheduler of a job of the same name keeps its own spool. The reading
// stops once every job has its line, or at the journal's oldest line. Only
// lines from the last 400 days count: a job whose period is longer, or that
// has not run for as long, shows no result rather than one of years ago.
// A line outside that window is passed over, not taken for the end: the
// journal's order is the order lines arrived in, and a host whose clock was
// wrong for a while (no hardware clock, before it is set) leaves lines
// stamped years off between ones that count. Only the scheduler's own
// lines are walked, through the journal's index of the matched fields, so
// the reading costs what those lines cost, however long the journal is.
//
// A message is cut to 150 characters by the scheduler, so a very long job
// name leaves a line that ends in " (truncated)" and holds no outcome: it is
// never taken for one. Names hold no blank, so the name ends at the first
// blank, and the rest must be one of the known endings, whole.
//
// Before the system journal is opened, its directories are looked at: a
// host that keeps no journal is told apart from a journal without a line,
// and a caller who may not open every file of it (not root, and not in
// the adm or systemd-journal group) from one who read it all. A host
// without a journal costs two failed directory opens, no more.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>

#include "base/diagnostics.h"
#include "status/status.h"

namespace {

/// How far back the journal is read.
constexpr std::time_t look_back_seconds = std::time_t{400} * 24 * 60 * 60;

/// Where journald keeps a host's files: in memory, and on disk.
constexpr const char* journal_roots[] = {"/run/log/journal", "/var/log/journal"};

/// The scheduler's name in the system log, and its facility (cron).
constexpr const char identifier_match[] = "SYSLOG_IDENTIFIER=lapsero";
constexpr const char facility_match[] = "SYSLOG_FACILITY=9";

constexpr std::string_view line_start = "Job `";
constexpr std::string_view mailed_ending = " (mailing output)";

/// A number of decimal digits alone, as %d and %u print one that is not
/// negative, up to the largest of its type.
template <typename Number>
bool field_number(std::string_view text, Number* number) {
  std::uint64_t value = 0;
  if (!whole_number(text, std::numeric_limits<Number>::max(), &value)) return false;
  *number = static_cast<Number>(value);
  return true;
}

/// A file journald writes: live, archived, or set aside as damaged.
bool journal_file_name(std::string_view name) {
  return name.ends_with(".journal") || name.ends_with(".journal~");
}

/// Whether this host keeps a journal, and whether every file of it opens.
/// The files looked at are those sd_journal_open reads for this machine.
ResultState system_journal_state() {
  sd_id128_t machine;
  // journald cannot run without a machine id.
  if (sd_id128_get_machine(&machine) < 0) return ResultState::no_journal;
  char id[SD_ID128_STRING_MAX];
  sd_id128_to_string(machine, id);
  bool found = false;
  bool denied = false;
  for (const char* root : journal_roots) {
    const std::string path = std::string(root) + "/" + id;
    DIR* dir = opendir(path.c_str());
    if (!dir) {
      denied = denied || errno == EACCES;
      continue;
    }
    while (const dirent* entry = readdir(dir)) {
      if (!journal_file_name(entry->d_name)) continue;
      found = true;
      const int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (fd >= 0)
        close(fd);
      else
        denied = denied || errno == EACCES || errno == EPERM;
    }
    closedir(dir);
  }
  if (denied) return ResultState::not_readable;
  return found ? ResultState::no_line : ResultState::no_journal;
}

[[noreturn]] void journal_file_error(const char* path, int error) {
  errno = error;
  bail_sys("cannot open journal file %s", path);
}

/// The value of a field of the journal's current entry.
bool field(sd_journal* journal, const char* name, std::string_view* value) {
  const void* data = nullptr;
  std::size_t length = 0;
  if (sd_journal_get_data(journal, name, &data, &length) < 0) return false;
  const std::string_view whole(static_cast<const char*>(data), length);
  const std::size_t skip = std::strlen(name) + 1;  // "NAME="
  if (whole.size() < skip) return false;
  *value = whole.substr(skip);
  return true;
}

/// The user a job's lines must come from.
uid_t scheduler_user(const JobStatus& status, uid_t spool_owner) {
  return status.probe.owner != no_owner ? status.probe.owner : spool_owner;
}

/// Reads the journal newest first until every job has its line, passing
/// over lines older than `since`; the matches for the
/// scheduler's name, facility and users are in place.
void take_latest_lines(sd_journal* journal, JobStatus* statuses, int count, uid_t spool_owner,
                       std::time_t since) {
  // A name may stand on more than one table line; each takes the line.
  std::unordered_map<std::string_view, std::vector<int>> by_name;
  for (int i = 0; i < count; ++i) by_name[statuses[i].job->name].push_back(i);
  int without_line = count;
  const std::uint64_t since_usec = since > 0 ? static_cast<std::uint64_t>(since) * 1000000 : 0;
  if (sd_journal_seek_tail(journal) < 0) return;
  // A damaged file ends the reading where it is damaged, as journalctl's.
  while (without_line > 0 && sd_journal_previous(journal) > 0) {
    std::uint64_t usec = 0;
    if (sd_journal_get_realtime_usec(journal, &usec) < 0) continue;
    if (usec < since_usec) continue;
    std::string_view message, uid_text;
    OutcomeLine line{};
    if (!field(journal, "MESSAGE", &message) || !parse_outcome_line(message, &line)) continue;
    const auto jobs = by_name.find(line.name);
    uid_t uid = 0;
    if (jobs == by_name.end() || !field(journal, "_UID", &uid_text) || !field_number(uid_text, &uid))
      continue;
    for (const int i : jobs->second) {
      JobStatus& status = statuses[i];
      if (status.result.state == ResultState::found || scheduler_user(status, spool_owner) != uid) continue;
      status.result = {ResultState::found, line.outcome, line.number, line.mailed,
                       static_cast<std::time_t>(usec / 1000000)};
      --without_line;
    }
  }
}

}  // namespace

bool parse_outcome_line(std::string_view message, OutcomeLine* line) {
  if (!message.starts_with(line_start)) return false;
  std::string_view rest = message.substr(line_start.size());
  // The name ends at the first blank, with the quote that closes it.
  const std::size_t blank = rest.find(' ');
  if (blank == std::string_view::npos || blank < 2 || rest[blank - 1] != '\'') return false;
  OutcomeLine found{};
  found.name = rest.substr(0, blank - 1);
  rest.remove_prefix(blank);
  found.mailed = rest.ends_with(mailed_ending);
  if (found.mailed) rest.remove_suffix(mailed_ending.size());

  constexpr std::string_view ended = " terminated";
  constexpr std::string_view exit_start = " (exit status: ";
  constexpr std::string_view signal_start = " due to signal ";
  if (!rest.starts_with(ended)) return false;
  rest.remove_prefix(ended.size());
  if (rest.empty()) {
    found.outcome = Outcome::ok;
  } else if (rest == " abnormally") {
    found.outcome = Outcome::abnormal;
  } else if (rest.starts_with(exit_start) && rest.ends_with(')')) {
    found.outcome = Outcome::exit;
    if (!field_number(rest.substr(exit_start.size(), rest.size() - exit_start.size() - 1), &found.number))
      return false;
  } else if (rest.starts_with(signal_start)) {
    found.outcome = Outcome::signal;
    if (!field_number(rest.substr(signal_start.size()), &found.number)) return false;
  } else {
    return false;
  }
  *line = found;
  return true;
}

JournalSource journal_source(const char* file, int start_dir_fd) {
  if (!file) return {nullptr, -1};
  // Never blocks on a FIFO given by mistake; the journal library refuses it.
  const int fd = openat(start_dir_fd, file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) journal_file_error(file, errno);
  return {file, fd};
}

void read_last_results(JobStatus* statuses, int count, const JournalSource& source, uid_t spool_owner,
                       std::time_t now) {
  ResultState without_line = ResultState::no_line;
  sd_journal* journal = nullptr;
  if (source.file) {
    int fds[] = {source.fd};
    const int result = sd_journal_open_files_fd(&journal, fds, 1, 0);
    if (result < 0) journal_file_error(source.file, -result);
  } else {
    without_line = system_journal_state();
    // This machine's files only: a container's journal, linked into ours,
    // holds another host's scheduler and another spool.
    if (without_line != ResultState::no_journal && sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) {
      journal = nullptr;
      without_line = ResultState::not_readable;
    }
  }
  for (int i = 0; i < count; ++i) statuses[i].result = LastResult{without_line, Outcome::ok, 0, false, 0};
  if (!journal) return;

  // Matches on one field are alternatives, on different fields all apply.
  bool matched = sd_journal_add_match(journal, identifier_match, 0) >= 0 &&
                 sd_journal_add_match(journal, facility_match, 0) >= 0;
  std::vector<uid_t> users;
  for (int i = 0; i < count && matched; ++i) {
    const uid_t user = scheduler_user(statuses[i], spool_owner);
    if (std::find(users.begin(), users.end(), user) != users.end()) continue;
    users.push_back(user);
    const std::string match = "_UID=" + std::to_string(user);
    matched = sd_journal_add_match(journal, match.data(), match.size()) >= 0;
  }
  if (matched && count > 0) take_latest_lines(journal, statuses, count, spool_owner, now - look_back_seconds);
  // The journal leaves a descriptor it was given to the caller.
  sd_journal_close(journal);
  if (source.fd >= 0) close(source.fd);
}
