// The stress run: many schedulers on one spool, and schedulers killed at
// random moments, trial after trial. It asserts what must hold in every
// trial and prints figures; it never asserts a time.
//
//   lapsero_stress [TRIALS]   TRIALS of each scenario (default 30)
//
// 1. Together: k schedulers (k = 2, 4, 8), released at the same instant on
//    one spool with 20 due jobs, in the sequential, the parallel and the
//    background mode. Every job runs exactly once per trial and no two runs
//    of a job overlap; every job ends stamped with today's date.
// 2. Killed: a run of 20 short jobs whose scheduler gets SIGKILL at a random
//    moment, then a second run without -f once everything the first left
//    behind has ended. After the first run every stamp is absent, empty,
//    the old date or today's date in 9 bytes; after the second, every job
//    has run and is stamped today, a job the first run stamped did not run
//    again, and nothing is left in the temporary directory.
//
// In every other trial of the first scenario the schedulers have a random
// pause before each lock request (tests/fault_inject.c), which makes the
// moment between reading a stamp and locking it wide enough to be hit.
//
// Jobs record their runs themselves, appending "start|end PID NAME" (PID is
// the scheduler's) to one file opened with O_APPEND by the shell's >>.
//
// It runs in the test sandbox, as root, like the end-to-end tests: the
// schedulers' syslog lines go to the sandbox's socket and are counted.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sandbox.h"
#include "tests/trials.h"

namespace {

using trials::job_name;
using trials::read_runs;
using trials::Run;
using trials::today_stamp;

constexpr int job_count = 20;
const char* const lapsero = LAPSERO_BINARY;

int failures = 0;

/// Lock notices the schedulers logged, counted by the thread that drains
/// the sandbox's /dev/log as a syslog daemon would: a scheduler blocks in
/// its next message once the socket's queue is full.
std::atomic<long> lock_notices{0};
std::atomic<bool> draining{true};

void drain_log() {
  while (draining) {
    for (const auto& entry : sandbox::take_log())
      if (entry.text.find("locked by another lapsero") != std::string::npos) ++lock_notices;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void fail(const std::string& trial, const std::string& what) {
  ++failures;
  if (failures <= 50) std::fprintf(stderr, "FAIL %s: %s\n", trial.c_str(), what.c_str());
}

/// Processes that wait on one pipe and exec together when it is closed.
class Barrier {
 public:
  Barrier() {
    if (pipe2(fds_, O_CLOEXEC) != 0) std::abort();
  }
  ~Barrier() { release(); }
  Barrier(const Barrier&) = delete;
  Barrier& operator=(const Barrier&) = delete;

  pid_t spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> env = sandbox::base_environment();
    for (const auto& [name, value] : extra) env[name] = value;
    const sandbox::ExecVectors vectors(args, env);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      close(fds_[1]);
      char byte;
      // The read ends when every write end is closed: all go at once.
      while (read(fds_[0], &byte, 1) > 0) continue;
      close_range(3, ~0U, 0);
      execve(vectors.argv[0], vectors.argv.data(), vectors.envp.data());
      _exit(127);
    }
    return pid;
  }

  void release() {
    if (fds_[1] >= 0) close(fds_[1]);
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

/// Waits for every process left to this one (it is a subreaper): the
/// schedulers, the detached ones, and jobs whose scheduler was killed.
/// Returns the wait status of each pid in `watched`.
std::map<pid_t, int> wait_for_everything(const std::set<pid_t>& watched = {}) {
  std::map<pid_t, int> statuses;
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) break;
    if (watched.count(pid)) statuses[pid] = status;
  }
  return statuses;
}

struct Figures {
  long trials = 0, schedulers = 0, runs = 0;
  long kills_before_any_start = 0, stamped_by_first = 0, caught_up_by_second = 0, orphans_finished = 0;
};

void together(int trial, Figures& figures) {
  static const int ks[] = {2, 4, 8};
  static const char* const modes[] = {"sequential", "parallel", "background"};
  const int k = ks[(trial / 2) % 3];
  const std::string mode = modes[(trial / 6) % 3];
  const std::string name = "together " + std::to_string(trial) + " (" + std::to_string(k) + ", " + mode +
                           (trial % 2 ? ", with lock jitter)" : ")");
  const std::string dir = sandbox::make_scratch_dir("together");
  const std::string spool = dir + "/spool", runs = dir + "/runs", table = dir + "/lapserotab";
  mkdir(spool.c_str(), 0755);
  sandbox::write_file(table, trials::table_for(job_count, runs, ""));
  // Half of the jobs have never run, half ran long ago.
  for (int i = 0; i < job_count; i += 2) sandbox::write_file(spool + "/" + job_name(i), "20000101\n", 0600);

  std::vector<std::string> args = {lapsero, "-t", table, "-S", spool};
  if (mode != "background") args.push_back("-d");
  if (mode == "sequential") args.push_back("-s");
  // In every other trial each lock request waits a random moment of up to
  // 2 ms first, so that a scheduler now and then reads a stamp, decides,
  // and asks for the lock only after another has run the job and let go.
  std::map<std::string, std::string> env = {{"TMPDIR", dir}};
  if (trial % 2 == 1)
    env.insert({{"LD_PRELOAD", FAULT_INJECT_LIBRARY}, {"LAPSERO_TEST_LOCK_JITTER", "2000"}});
  std::set<pid_t> launched;
  {
    Barrier barrier;
    for (int i = 0; i < k; ++i) launched.insert(barrier.spawn(args, env));
  }
  const auto statuses = wait_for_everything(launched);
  for (const auto& [pid, status] : statuses)
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      fail(name, "a scheduler ended with wait status " + std::to_string(status));

  std::map<std::string, std::vector<Run>> by_job;
  for (const Run& run : read_runs(runs)) by_job[run.job].push_back(run);
  const std::string today = today_stamp();
  for (int i = 0; i < job_count; ++i) {
    const std::string job = job_name(i);
    const auto& seen = by_job[job];
    if (seen.size() != 2 || seen[0].kind != "start" || seen[1].kind != "end" || seen[0].pid != seen[1].pid) {
      std::string record;
      for (const Run& run : seen) record += " [" + run.kind + " " + std::to_string(run.pid) + "]";
      fail(name, job + " did not run exactly once, alone:" + record);
    }
    const std::string stamp = sandbox::read_file(spool + "/" + job);
    if (stamp != today) fail(name, job + " is stamped '" + stamp + "'");
    figures.runs += static_cast<long>(seen.size() / 2);
  }
  figures.schedulers += k;
  ++figures.trials;
  std::filesystem::remove_all(dir);
}

void killed(int trial, std::mt19937& random, Figures& figures) {
  const bool sequential = trial % 2 == 0;
  const std::string name = "killed " + std::to_string(trial) + (sequential ? " (sequential)" : " (parallel)");
  const std::string dir = sandbox::make_scratch_dir("killed");
  const std::string spool = dir + "/spool", runs = dir + "/runs", table = dir + "/lapserotab",
                    tmp = dir + "/tmp";
  mkdir(spool.c_str(), 0755);
  mkdir(tmp.c_str(), 0700);
  sandbox::write_file(table, trials::table_for(job_count, runs, "sleep 0.005; "));
  const std::string old = "20000101\n";
  for (int i = 0; i < job_count; i += 2) sandbox::write_file(spool + "/" + job_name(i), old, 0600);

  std::vector<std::string> args = {lapsero, "-d", "-t", table, "-S", spool};
  if (sequential) args.push_back("-s");
  const std::map<std::string, std::string> env = {{"TMPDIR", tmp}};
  // In the sanitizer build a kill that lands in the leak check at the
  // scheduler's exit leaves the checker's helper behind to report that it
  // lost the process. The run that is killed is not checked for leaks; the
  // second run is, as is every other.
  std::map<std::string, std::string> killed_env = env;
  const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
  killed_env["ASAN_OPTIONS"] = std::string(sanitizer_options ? sanitizer_options : "") + ":detect_leaks=0";
  // A sequential run of these jobs takes a few hundred milliseconds, a
  // parallel one a few tens; the kill falls anywhere in it, or after it.
  std::uniform_int_distribution<int> moment(0, sequential ? 300 : 60);
  pid_t first;
  {
    Barrier barrier;
    first = barrier.spawn(args, killed_env);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
  kill(first, SIGKILL);
  wait_for_everything();

  const std::string today = today_stamp();
  std::set<std::string> stamped_first;
  for (int i = 0; i < job_count; ++i) {
    const std::string job = job_name(i), path = spool + "/" + job;
    if (!sandbox::exists(path)) continue;
    const std::string stamp = sandbox::read_file(path);
    if (stamp == today)
      stamped_first.insert(job);
    else if (!stamp.empty() && stamp != old)
      fail(name, job + " was left stamped '" + stamp + "' by the killed scheduler");
  }
  const auto before = read_runs(runs);
  bool any_started = false;
  for (const Run& run : before) any_started |= run.kind == "start";
  for (const Run& run : before)
    figures.orphans_finished += run.kind == "end" && !stamped_first.count(run.job);
  figures.kills_before_any_start += !any_started;

  pid_t second;
  {
    Barrier barrier;
    second = barrier.spawn({lapsero, "-d", "-t", table, "-S", spool}, env);
  }
  const auto statuses = wait_for_everything({second});
  const auto status = statuses.find(second);
  if (status == statuses.end() || !WIFEXITED(status->second) || WEXITSTATUS(status->second) != 0)
    fail(name, "the second run did not end with status 0");

  std::map<std::string, std::set<pid_t>> starts;  // job -> scheduler pids
  for (const Run& run : read_runs(runs))
    if (run.kind == "start") starts[run.job].insert(run.pid);
  for (int i = 0; i < job_count; ++i) {
    const std::string job = job_name(i);
    if (sandbox::read_file(spool + "/" + job) != today)
      fail(name, job + " is not stamped today after both runs");
    const bool ran_second = starts[job].count(second) > 0;
    if (stamped_first.count(job) && ran_second)
      fail(name, job + " ran again although the first run stamped it");
    if (!stamped_first.count(job) && !ran_second) fail(name, job + " was lost: not stamped, not run again");
    figures.caught_up_by_second += ran_second;
  }
  figures.stamped_by_first += static_cast<long>(stamped_first.size());
  for (const auto& left : std::filesystem::directory_iterator(tmp))
    fail(name, "left in the temporary directory: " + left.path().filename().string());
  ++figures.trials;
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = argc > 1 ? std::atoi(argv[1]) : 30;
  if (trials <= 0) {
    std::fprintf(stderr, "usage: %s [TRIALS]\n", argv[0]);
    return 2;
  }
  sandbox::enter();
  const auto started = std::chrono::steady_clock::now();
  std::random_device seed_source;
  const unsigned seed = seed_source();
  std::mt19937 random(seed);

  std::thread log_sink(drain_log);
  Figures together_figures, killed_figures;
  for (int trial = 0; trial < trials; ++trial) together(trial, together_figures);
  for (int trial = 0; trial < trials; ++trial) killed(trial, random, killed_figures);
  draining = false;
  log_sink.join();
  // Only the together trials ever run two schedulers at a time.
  const long together_notices = lock_notices;

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("stress run: %d trials of each scenario, seed %u, %.1f s\n", trials, seed, seconds);
  std::printf("  together: %ld trials, %ld schedulers, %ld job runs (%d expected), %ld lock notices\n",
              together_figures.trials, together_figures.schedulers, together_figures.runs, trials * job_count,
              together_notices);
  std::printf(
      "  killed:   %ld trials, %ld killed before any job started, %ld jobs stamped by the killed run,\n"
      "            %ld caught up by the second run, %ld orphaned jobs that finished unstamped\n",
      killed_figures.trials, killed_figures.kills_before_any_start, killed_figures.stamped_by_first,
      killed_figures.caught_up_by_second, killed_figures.orphans_finished);
  if (failures > 0) {
    std::printf("FAILED: %d broken invariants\n", failures);
    return 1;
  }
  std::printf("every invariant held in every trial\n");
  return 0;
}
