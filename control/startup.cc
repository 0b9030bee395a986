// Command line and start-up: main from its first step up to the start message.
//
// Start-up fixes everything the rest of the run takes for granted: the
// settings, the mail charset, the saved start directory, the spool directory
// as working directory, umask 0 (so that stamp and output files get exactly
// their modes), the signal mask to hand on to children, standard input on
// /dev/null, and, unless -d or -T, a detached child that leads its own
// session. It ends by fixing the start date, which every stamp of this run
// records however long the run takes.

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/diagnostics.h"
#include "control/control.h"
#include "lapsero.h"
#include "schedule/schedule.h"
#include "table/table.h"

namespace {

/// The usage text of -h.
const char usage_text[] =
    "Usage:  lapsero [-s] [-f] [-n] [-d] [-q] [-t lapserotab] [-S spooldir] [job] ...\n"
    "        lapsero [-S spooldir] -u [job] ...\n"
    "        lapsero [-V|-h]\n"
    "        lapsero -T [-t lapserotab]\n"
    "\n"
    " -s  Serialize execution of jobs\n"
    " -f  Force execution of jobs, even before their time\n"
    " -n  Run jobs with no delay, implies -s\n"
    " -d  Don't fork to the background\n"
    " -q  Suppress stderr messages, only applicable with -d\n"
    " -u  Update the timestamps without actually running anything\n"
    " -t  Use this lapserotab\n"
    " -V  Print version information\n"
    " -h  Print this message\n"
    " -T  Test an lapserotab\n"
    " -S  Select a different spool directory\n"
    "\n"
    "See the manpage for more details.\n";

/// The version text of -V.
const char version_text[] = "Lapsero " LAPSERO_VERSION
                            "\n"
                            "Written by the lapsero developers.\n"
                            "Thanks to every administrator who ever reported a missed day.\n"
                            "Copyright (C) 2026 the lapsero developers.\n"
                            "\n"
                            "Report problems to <lapsero-bugs@lists.lapsero.invalid>.\n";

/// A heap copy kept for the life of the process.
char* copy_text(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  return static_cast<char*>(std::memcpy(alloc_or_bail(size), text, size));
}

/// Replaces a path setting; a later -t or -S wins over an earlier one.
void set_path(char*& setting, const char* value) {
  std::free(setting);
  setting = copy_text(value);
}

void choose_mail_charset() {
  std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  if (codeset && *codeset && std::strcmp(codeset, "ANSI_X3.4-1968") != 0) mail_charset = copy_text(codeset);
  // Expressions and patterns classify characters as in the C locale.
  std::setlocale(LC_CTYPE, "C");
}

[[noreturn]] void invalid_option(int letter) {
  dprintf(STDERR_FILENO, "%s: invalid option: %c\n", program_name, letter);
  dprintf(STDERR_FILENO, "type: `%s -h' for more information\n", program_name);
  std::exit(1);
}

void parse_command_line(int argc, char** argv) {
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, "sfundqt:TS:Vh")) != -1) {
    switch (option) {
      case 's': settings.sequential = 1; break;
      case 'f': settings.force_run = 1; break;
      case 'u': settings.stamp_only = 1; break;
      case 'n': settings.sequential = settings.no_delay = 1; break;
      case 'd': settings.foreground = 1; break;
      case 'q': settings.quiet = 1; break;
      case 't': set_path(settings.table_path, optarg); break;
      case 'T': settings.test_table = 1; break;
      case 'S': set_path(settings.spool_dir, optarg); break;
      // Each text is followed by an empty line.
      case 'V': print_and_exit(version_text, "\n");
      case 'h': print_and_exit(usage_text, "\n");
      case '?': invalid_option(optopt);
      default: break;
    }
  }
  take_job_patterns(argc, argv, optind);
  if (!settings.table_path) settings.table_path = copy_text("/etc/lapserotab");
  if (!settings.spool_dir) settings.spool_dir = copy_text("/var/spool/lapsero");
}

/// Every due job holds its stamp open for the whole run, and every running
/// job its output file as well, so a table with more due jobs than the
/// common soft limit of 1024 would never run at all. The scheduler takes
/// what the hard limit allows; its children get the caller's limit back.
/// The raise is only an allowance: where it is refused (a hard limit above
/// what the kernel allows a process, a security module), the run goes on
/// with the limit it has, and only a table that needs more will find out.
void raise_descriptor_limit() {
  if (saved_nofile.rlim_cur >= saved_nofile.rlim_max) return;
  rlimit raised = saved_nofile;
  raised.rlim_cur = raised.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
    notice_sys("Can't raise the limit of open files from %llu to %llu, going on with %llu",
               static_cast<unsigned long long>(saved_nofile.rlim_cur),
               static_cast<unsigned long long>(saved_nofile.rlim_max),
               static_cast<unsigned long long>(saved_nofile.rlim_cur));
}

/// Standard input on /dev/null, and, unless told to stay in the foreground,
/// standard output and error too, and into the background as the leader of
/// a new session.
void detach() {
  if (std::fclose(stdin) != 0) bail_sys("Can't close stdin");
  open_onto(STDIN_FILENO, "/dev/null", O_RDONLY);

  if (settings.foreground || settings.test_table) {
    main_pid = getpid();
    return;
  }
  if (std::fclose(stdout) != 0) bail_sys("Can't close stdout");
  open_onto(STDOUT_FILENO, "/dev/null", O_WRONLY);
  if (std::fclose(stderr) != 0) bail_sys("Can't close stderr");
  open_onto(STDERR_FILENO, "/dev/null", O_WRONLY);
  // main_pid is still 0: a failed fork is one line, without "Aborted".
  if (fork_or_bail() > 0) std::exit(0);
  main_pid = getpid();
  if (setsid() < 0) bail_sys("setsid() error");
  stderr_off = 1;
}

void fix_start_date() {
  start_time = std::time(nullptr);
  CalendarDate date{};
  today = local_day(start_time, &date);
  start_year = date.year;
  start_month = date.month;
  start_mday = date.mday;
  if (today == -1) bail("Invalid date (this is really embarrassing)");
  start_lengths = lengths_around(start_year, start_month);
}

}  // namespace

void start_up(int argc, char** argv) {
  take_program_name(argc, argv);
  fill_standard_descriptors();
  choose_mail_charset();
  parse_command_line(argc, argv);
  set_up_diagnostics(settings.quiet, 1);

  saved_cwd_fd = open("./", O_RDONLY | O_CLOEXEC);
  if (saved_cwd_fd < 0) bail_sys("Can't save current directory");
  if (chdir(settings.spool_dir) != 0) bail_sys("Can't chdir to %s", settings.spool_dir);
  saved_umask = umask(0);
  if (sigprocmask(SIG_BLOCK, nullptr, &saved_sigmask) != 0) bail_sys("sigset error");
  // Children are given this limit back, whatever the run does with its own.
  if (getrlimit(RLIMIT_NOFILE, &saved_nofile) != 0) bail_sys("getrlimit error");

  detach();
  fix_start_date();
  if (!settings.stamp_only && !settings.test_table) {
    notice("Lapsero " LAPSERO_VERSION " started on %04d-%02d-%02d", start_year, start_month, start_mday);
    // Only the run mode holds many files at once; the others stay silent.
    raise_descriptor_limit();
  }
}
