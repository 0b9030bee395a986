// The end-to-end fixture and the helpers every end-to-end test shares, so
// that a test reads as its table, its run and its expectations.

#include "tests/e2e/e2e.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>

namespace e2e {

std::string started_on(std::string_view date) {
  return "Lapsero " LAPSERO_VERSION " started on " + std::string(date);
}

bool logged(const sandbox::Process& run, std::string_view text) { return entry(run, text) != nullptr; }

std::size_t count_of(const sandbox::Process& run, std::string_view text) {
  return std::count_if(run.log.begin(), run.log.end(), [&](const auto& e) { return e.text == text; });
}

const sandbox::LogEntry* entry(const sandbox::Process& run, std::string_view text) {
  for (const auto& e : run.log)
    if (e.text == text) return &e;
  return nullptr;
}

std::ptrdiff_t position(const Lines& log, std::string_view text) {
  for (std::size_t i = 0; i < log.size(); ++i)
    if (log[i] == text) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

std::string on_stderr(const Lines& log, const Lines& notices, bool quiet) {
  std::string err;
  for (const auto& text : log) {
    const bool notice = std::find(notices.begin(), notices.end(), text) != notices.end();
    if (!notice)
      err += "lapsero: " + text + "\n";
    else if (!quiet)
      err += text + "\n";
  }
  return err;
}

namespace {

/// A process the sandbox had to kill is a fault of the test or the program:
/// a job or a scheduler that should have ended, and a finish() that would
/// otherwise pass once the strays were gone.
void expect_no_strays(const sandbox::Process& process) {
  if (!process.timed_out) return;
  std::string killed;
  for (const auto& stray : process.killed) killed += "\n  " + stray;
  ADD_FAILURE() << "processes still running at the time limit were killed:" << killed;
}

}  // namespace

namespace {

/// The host directories a hidden journal lies under.
constexpr const char* journal_parents[] = {"/run/log", "/var/log"};
std::vector<std::string> journal_mounts;

}  // namespace

void hide_system_journal() {
  for (const char* parent : journal_parents) {
    struct stat st {};
    if (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    ASSERT_EQ(mount("tmpfs", parent, "tmpfs", 0, "mode=0755"), 0) << parent;
    journal_mounts.push_back(parent);
  }
}

void show_system_journal() {
  for (const auto& parent : journal_mounts) EXPECT_EQ(umount2(parent.c_str(), MNT_DETACH), 0) << parent;
  journal_mounts.clear();
}

void Lapsero::SetUp() { fresh_case(""); }

void Lapsero::fresh_case(std::string_view hint) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  if (!hint.empty()) name += "." + std::string(hint);
  dir = sandbox::make_scratch_dir(name);
  spool = dir + "/spool";
  table_path = dir + "/lapserotab";
  mail_dir = dir + "/mail";
  ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(mail_dir.c_str(), 0755), 0);
  sandbox::install_sendmail();
  sandbox::take_log();
}

void Lapsero::table(std::string_view text) { sandbox::write_file(table_path, text); }

sandbox::Invocation Lapsero::invocation(std::vector<std::string> args) {
  sandbox::Invocation result;
  result.argv = {lapsero_binary, "-t", table_path, "-S", spool};
  result.argv.insert(result.argv.end(), args.begin(), args.end());
  result.cwd = dir;
  result.env["FAKE_SENDMAIL_DIR"] = mail_dir;
  result.env["TMPDIR"] = dir;
  return result;
}

sandbox::Invocation Lapsero::status_invocation(std::vector<std::string> args) {
  auto result = invocation(std::move(args));
  result.argv[0] = status_binary;
  return result;
}

sandbox::Invocation Lapsero::on_date(std::vector<std::string> args, std::string_view date) {
  auto result = invocation(std::move(args));
  result.faketime = at(date);
  return result;
}

sandbox::Invocation Lapsero::listing_on(std::vector<std::string> args, std::string_view date) {
  auto inv = status_invocation(std::move(args));
  inv.faketime = at(date);
  inv.env["NO_FAKE_STAT"] = "1";
  return inv;
}

sandbox::Invocation Lapsero::on_clock(std::vector<std::string> args, std::string_view date_time) {
  move_clock(date_time);
  auto inv = invocation(std::move(args));
  inv.env["LD_PRELOAD"] = sandbox::faketime_library;
  inv.env["FAKETIME_TIMESTAMP_FILE"] = dir + "/clock";
  inv.env["FAKETIME_NO_CACHE"] = "1";
  inv.env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1";
  return inv;
}

void Lapsero::move_clock(std::string_view date_time) {
  // Renamed into place: a reader never sees half a date.
  sandbox::write_file(dir + "/clock.new", std::string(date_time) + "\n");
  ASSERT_EQ(rename((dir + "/clock.new").c_str(), (dir + "/clock").c_str()), 0);
}

Lines columns(const std::string& line) {
  Lines fields;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t gap = line.find("  ", at);
    fields.push_back(line.substr(at, gap - at));
    if (gap == std::string::npos) break;
    at = line.find_first_not_of(' ', gap);
  }
  return fields;
}

sandbox::Invocation Lapsero::as_nobody(sandbox::Invocation inv, std::string_view date) {
  // The build tree may lie where nobody cannot reach it (a checkout in a
  // directory of mode 0700): run a copy from the scratch directory.
  const std::string copy = dir + "/" + inv.argv[0].substr(inv.argv[0].rfind('/') + 1);
  sandbox::write_file(copy, sandbox::read_file(inv.argv[0]), 0755);
  inv.argv[0] = copy;
  // libfaketime only below setpriv: loaded into root's setpriv, it makes a
  // semaphore that the program, as nobody, may not open.
  inv.argv.insert(inv.argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     "/usr/bin/env", std::string("LD_PRELOAD=") + sandbox::faketime_library,
                                     "FAKETIME=" + at(date), "FAKETIME_DONT_RESET=1", "NO_FAKE_STAT=1"});
  return inv;
}

sandbox::Process Lapsero::lapsero(std::vector<std::string> args) {
  return lapsero(invocation(std::move(args)));
}

sandbox::Process Lapsero::lapsero(const sandbox::Invocation& inv) {
  auto process = sandbox::run(inv);
  expect_no_strays(process);
  return process;
}

void Lapsero::finish(sandbox::Process& process) {
  sandbox::finish(process);
  expect_no_strays(process);
}

std::string Lapsero::stamp_path(std::string_view job) const { return spool + "/" + std::string(job); }

std::string Lapsero::stamp(std::string_view job) const {
  const std::string path = stamp_path(job);
  return sandbox::exists(path) ? sandbox::read_file(path) : "<missing>";
}

void Lapsero::set_stamp(std::string_view job, std::string_view content) {
  sandbox::write_file(stamp_path(job), content, 0600);
}

std::vector<Mail> Lapsero::mails() const {
  std::vector<Mail> found;
  for (int n = 1;; ++n) {
    const std::string at_dir = mail_dir + "/mail." + std::to_string(n);
    if (!sandbox::exists(at_dir)) break;
    Mail mail;
    const std::string args = sandbox::read_file(at_dir + "/args");
    for (std::size_t start = 0; start < args.size();) {
      const std::size_t end = args.find('\0', start);
      mail.args.push_back(args.substr(start, end - start));
      start = end + 1;
    }
    mail.cwd = sandbox::read_file(at_dir + "/cwd");
    std::istringstream fds(sandbox::read_file(at_dir + "/fds"));
    for (int fd; fds >> fd;) mail.fds.push_back(fd);
    std::sort(mail.fds.begin(), mail.fds.end());
    mail.nofile = sandbox::read_file(at_dir + "/nofile");
    mail.input = sandbox::read_file(at_dir + "/stdin");
    found.push_back(std::move(mail));
  }
  return found;
}

void Watched::fresh_case(std::string_view hint) {
  Lapsero::fresh_case(hint);
  gate = dir + "/gate";
  ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
}

void Watched::await(sandbox::Process& run, const std::string& text) {
  ASSERT_TRUE(sandbox::wait_until(run, [&](const sandbox::Process& p) { return logged(p, text); }))
      << "no \"" << text << "\" in " << ::testing::PrintToString(sandbox::texts(run.log));
}

void Watched::request_stop(sandbox::Process& run) {
  ASSERT_TRUE(sandbox::wait_until(
      run, [](const sandbox::Process& p) { return sandbox::catches_signal(p.pid, SIGUSR1); }));
  ASSERT_EQ(kill(run.pid, SIGUSR1), 0);
}

void Watched::open_gate(sandbox::Process& run) {
  int fd = -1;
  // Succeeds only once a reader is waiting.
  ASSERT_TRUE(sandbox::wait_until(run, [&](const sandbox::Process&) {
    fd = open(gate.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0;
  }));
  close(fd);
}

}  // namespace e2e
