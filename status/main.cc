// lapsero-status: the listing program, from its command line to its exit
// status.
//
// It reads the table with the scheduler's own reader, so that it lists the
// jobs, names, periods and delays that lapsero would see, and reports the
// table's problems in lapsero's words. Unlike lapsero it writes nothing to
// the system log: an administrator's look at the jobs is no event. It takes
// today as the local date at its start, as the scheduler takes its start
// date. The spool directory must exist, as lapsero needs it: a listing that
// showed every job as never run would hide that the next start will fail.
// A name that selects no job is an error too: a monitoring check with a
// misspelt name would otherwise pass for ever on an empty listing. Failures
// read as lapsero's own: those of the first steps, before lapsero knows its
// own process (the start directory, the spool directory), stand alone, and
// the later ones are followed by "Aborted". The table is read and names are
// matched in the C locale, as lapsero reads and matches them; the caller's
// locale only chooses how the columns are printed.
//
// With --lint it lists no jobs: it reads the whole table and the spool and
// prints hints for lines that lapsero accepts but that may not do what was
// meant, and for stamps no job uses (lint.cc). It takes no job names and no
// option of the listing, which would select or shape jobs it does not list.
//
// How each job's last run ended comes from the journal, read once every
// job is judged and before anything is printed, so that a journal file
// that cannot be opened ends the program with nothing listed.
//
// What it prints reaches its reader whole, or the program fails with
// status 1 (output.cc): on standard output, or with --output=FILE in a new
// file renamed over FILE. Every failure, running out of memory and a usage
// error included, ends through the diagnostics.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <getopt.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "status/status.h"
#include "table/table.h"

namespace {

const char usage_text[] =
    "Usage:  lapsero-status [-t lapserotab] [-S spooldir] [--json | --prometheus] [--overdue=DAYS]\n"
    "                       [--failed] [--journal-file=FILE] [--output=FILE] [job] ...\n"
    "        lapsero-status --lint [-t lapserotab] [-S spooldir]\n"
    "        lapsero-status --help | --version\n"
    "\n"
    " -t                  Use this lapserotab\n"
    " -S                  Select a different spool directory\n"
    " --json              Print one JSON array instead of columns\n"
    " --prometheus        Print metrics for the node exporter's textfile directory\n"
    " --overdue=DAYS      Exit with status 2 if a job has been due for more than DAYS days\n"
    " --failed            Exit with status 2 if a job's last recorded run failed\n"
    " --journal-file=FILE Read how the jobs last ended from FILE, not the system journal\n"
    " --output=FILE       Write to a new file beside FILE, then rename it over FILE\n"
    " --lint              Print hints for table lines that may not mean what they say,\n"
    "                     and for stamps that no job uses; exit with status 1 if any\n"
    " --help, -h          Print this message\n"
    " --version, -V       Print version information\n"
    "\n"
    "Shows, for each job, when it last ran and how that run ended, when it is next\n"
    "due, and whether a lapsero is running it now. It changes nothing. See the\n"
    "manpage for more details.\n";

const char version_text[] = "lapsero-status (Lapsero) " LAPSERO_VERSION
                            "\n"
                            "Copyright (C) 2026 the lapsero developers.\n"
                            "\n"
                            "Report problems to <lapsero-bugs@lists.lapsero.invalid>.\n";

// The scheduler's defaults. Paths from the command line point into argv,
// which lives as long as the process.
char default_table[] = "/etc/lapserotab";
char default_spool[] = "/var/spool/lapsero";

/// What the command line asked for beyond the settings lapsero shares.
struct ListingSettings {
  int json;                  ///< --json
  int prometheus;            ///< --prometheus
  Checks checks;             ///< --overdue=DAYS, --failed
  const char* journal_file;  ///< --journal-file=FILE; null for the system journal
  const char* output_file;   ///< --output=FILE; null for standard output
  int lint;                  ///< --lint: hints instead of the listing
  int names_given;           ///< job names were given; without them every job is selected
};

ListingSettings listing{0, 0, {-1, false}, nullptr, nullptr, 0, 0};

enum LongOption {
  json_option = 256,
  prometheus_option,
  overdue_option,
  failed_option,
  journal_file_option,
  output_option,
  lint_option,
  help_option,
  version_option,
};

/// The error as a problem, the pointer to --help on a line of its own, and
/// the failure's one way out: the process is not yet the program's own
/// (main_pid), so no "Aborted" follows.
[[noreturn]] void usage_error(const char* what, const char* argument) {
  problem("%s: %s", what, argument);
  dprintf(STDERR_FILENO, "type: `%s --help' for more information\n", program_name);
  end_after_failure();
}

/// A number of days: decimal digits only, at most 2147483647.
std::int32_t days_argument(const char* text) {
  std::uint64_t days = 0;
  if (!whole_number(text, INT32_MAX, &days)) usage_error("invalid number of days", text);
  return static_cast<std::int32_t>(days);
}

void parse_command_line(int argc, char** argv) {
  static const option long_options[] = {
      {"json", no_argument, nullptr, json_option},
      {"prometheus", no_argument, nullptr, prometheus_option},
      {"overdue", required_argument, nullptr, overdue_option},
      {"failed", no_argument, nullptr, failed_option},
      {"journal-file", required_argument, nullptr, journal_file_option},
      {"output", required_argument, nullptr, output_option},
      {"lint", no_argument, nullptr, lint_option},
      {"help", no_argument, nullptr, help_option},
      {"version", no_argument, nullptr, version_option},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  // The last option given that only the listing takes.
  const char* listing_option = nullptr;
  int option;
  while ((option = getopt_long(argc, argv, "t:S:hV", long_options, nullptr)) != -1) {
    switch (option) {
      case 't': settings.table_path = optarg; break;
      case 'S': settings.spool_dir = optarg; break;
      case json_option:
        listing.json = 1;
        listing_option = "--json";
        break;
      case prometheus_option:
        listing.prometheus = 1;
        listing_option = "--prometheus";
        break;
      case overdue_option:
        listing.checks.overdue = days_argument(optarg);
        listing_option = "--overdue";
        break;
      case failed_option:
        listing.checks.failed = true;
        listing_option = "--failed";
        break;
      case journal_file_option:
        listing.journal_file = optarg;
        listing_option = "--journal-file";
        break;
      case output_option:
        listing.output_file = optarg;
        listing_option = "--output";
        break;
      case lint_option: listing.lint = 1; break;
      case 'h':
      case help_option: print_and_exit(usage_text, "");
      case 'V':
      case version_option: print_and_exit(version_text, "");
      default: {
        // A letter, or the word of a long option as it was given.
        const char letter[3] = {'-', static_cast<char>(optopt), '\0'};
        usage_error("invalid option", optopt > 0 && optopt < json_option ? letter : argv[optind - 1]);
      }
    }
  }
  if (listing.lint && listing_option) usage_error("option not taken with --lint", listing_option);
  if (listing.json && listing.prometheus) usage_error("conflicting options", "--json and --prometheus");
  if (listing.lint && optind < argc) usage_error("job name not taken with --lint", argv[optind]);
  listing.names_given = optind < argc;
  take_job_patterns(argc, argv, optind);
  if (!settings.table_path) settings.table_path = default_table;
  if (!settings.spool_dir) settings.spool_dir = default_spool;
}

std::int32_t local_today() {
  const std::int32_t day = local_day(std::time(nullptr));
  if (day == -1) bail("Invalid date (this is really embarrassing)");
  return day;
}

/// The day the table last changed, which a job without a stamp counts as
/// due since. The table is looked up from the start directory, as the
/// reader found it; 0 when that fails, which is reported.
std::int32_t table_changed_day(int start_dir_fd) {
  struct stat st {};
  if (fstatat(start_dir_fd, settings.table_path, &st, 0) != 0) {
    problem_sys("Can't stat %s", settings.table_path);
    return 0;
  }
  return std::max(local_day(st.st_mtime), 0);
}

/// Whose scheduler stamps a job that has no stamp yet: the spool's owner.
uid_t spool_owner() {
  struct stat st {};
  if (stat(".", &st) != 0) bail_sys("Can't stat %s", settings.spool_dir);
  return st.st_uid;
}

/// Says on standard error, in lapsero's terms, that lapsero would refuse
/// the table or the spool; whether it would.
bool report_refusals(const OwnershipFault& table) {
  if (table.found) problem("lapsero will refuse table %s: %s", settings.table_path, table.reason);
  const OwnershipFault spool = spool_fault();
  if (spool.found) problem("lapsero will refuse spool directory %s: %s", settings.spool_dir, spool.reason);
  return table.found || spool.found;
}

/// Reports each name given that selects no job of the table, as a problem.
/// Without names every job is selected, and a table without jobs is listed
/// as empty, which is no error.
void report_unmatched_names() {
  if (!listing.names_given) return;
  for (int i = 0; i < settings.job_pattern_count; ++i) {
    const char* pattern = settings.job_patterns[i];
    bool matched = false;
    for (const JobEntry* job = job_head; job && !matched; job = job->next) {
      const int result = fnmatch(pattern, job->name, 0);
      if (result != 0 && result != FNM_NOMATCH) bail("fnmatch() error");
      matched = result == 0;
    }
    if (!matched) problem("no job matches `%s'", pattern);
  }
}

/// Prints the hints for the table and the spool; 1 when there is any.
int lint(int start_dir_fd) {
  const std::vector<std::string> hints = table_hints(start_dir_fd);
  // The table was read in the C locale, as the scheduler reads it; only
  // the printing follows the caller's.
  const locale_t callers = callers_locale();
  const locale_t outer = uselocale(callers);
  std::string text;
  for (const std::string& hint : hints) text += printable(hint) + "\n";
  uselocale(outer);
  freelocale(callers);
  write_output(text, OutputFile{nullptr, nullptr, -1}, "the hints");
  return hints.empty() && problem_count == 0 ? exit_ok : exit_trouble;
}

}  // namespace

int main(int argc, char** argv) {
  set_up_diagnostics(0, 0);
  // Out of memory in the standard library fails like anything else.
  std::set_new_handler(memory_exhausted);
  take_program_name(argc, argv);
  // A stamp opened onto a closed 1 would swallow the listing.
  fill_standard_descriptors();
  parse_command_line(argc, argv);

  // The scheduler's first steps, in its order: a failure here is one line.
  saved_cwd_fd = open("./", O_RDONLY | O_CLOEXEC);
  if (saved_cwd_fd < 0) bail_sys("Can't save current directory");
  // Before any work: a directory that is not there fails the run at once.
  const OutputFile output =
      listing.output_file ? output_file(listing.output_file, saved_cwd_fd) : OutputFile{nullptr, nullptr, -1};
  if (chdir(settings.spool_dir) != 0) bail_sys("Can't chdir to %s", settings.spool_dir);
  main_pid = getpid();
  const std::int32_t today_number = local_today();

  // A table lapsero would refuse is still listed, with a warning.
  OwnershipFault table_refusal{};
  table_fault = &table_refusal;
  if (listing.lint) return lint(saved_cwd_fd);
  load_table(saved_cwd_fd);
  const bool refused = report_refusals(table_refusal);
  const std::int32_t table_day = table_changed_day(saved_cwd_fd);
  const JournalSource journal = journal_source(listing.journal_file, saved_cwd_fd);
  close(saved_cwd_fd);
  saved_cwd_fd = -1;
  report_unmatched_names();

  // The spool directory is the working directory now: stamps go by bare name.
  std::vector<JobStatus> statuses;
  for (const JobEntry* job = job_head; job; job = job->next)
    if (job->pattern_index != -1)
      statuses.push_back(judge(job, probe_stamp(job->name), today_number, table_day));

  const int count = static_cast<int>(statuses.size());
  read_last_results(statuses.data(), count, journal, spool_owner(), std::time(nullptr));
  std::string text;
  if (listing.json) {
    text = listing_json(statuses.data(), count);
  } else if (listing.prometheus) {
    text = listing_prometheus(statuses.data(), count);
  } else {
    const locale_t callers = callers_locale();
    text = listing_text(statuses.data(), count, callers);
    freelocale(callers);
  }
  write_output(text, output, "the listing");

  return exit_status(statuses.data(), count, listing.checks, problem_count > 0, refused);
}
