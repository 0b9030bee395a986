// What a run of lapsero costs, against baselines measured on the same
// machine in the same run. It prints figures and never fails: machines are
// noisy, so every figure is a median over several runs and is read as a
// ratio to its baseline, not as an absolute time.
//
// It runs in the test sandbox (a private mount namespace, so root), with a
// thread that drains /dev/log the way a syslog daemon would: lapsero's
// logging is part of what a run costs.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* lapsero = LAPSERO_BINARY;
std::string work;

struct Usage {
  double wall = 0;  ///< seconds
  double cpu = 0;   ///< user + system seconds, its waited-for children included
  long voluntary_switches = 0;
};

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

/// Starts a program with standard output and error on /dev/null.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}) {
  std::map<std::string, std::string> env = sandbox::base_environment();
  for (const std::string& assignment : extra_env) {
    const auto equals = assignment.find('=');
    env[assignment.substr(0, equals)] = assignment.substr(equals + 1);
  }
  const sandbox::ExecVectors vectors(args, env);
  // Whatever this program buffered must not be written again by the child.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execve(vectors.argv[0], vectors.argv.data(), vectors.envp.data());
    _exit(127);
  }
  return pid;
}

/// Runs a program to its end with standard output and error on /dev/null.
/// `during`, if given, is called with the pid while the program runs.
Usage measure(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {},
              const std::function<void(pid_t)>& during = nullptr) {
  const auto started = Clock::now();
  const pid_t pid = spawn(args, extra_env);
  if (during) during(pid);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Usage result;
  result.wall = std::chrono::duration<double>(Clock::now() - started).count();
  result.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  result.voluntary_switches = usage.ru_nvcsw;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "bench: %s ended with status %d\n", args[0].c_str(), status);
  return result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void row(const char* figure, double value, const char* unit, double baseline, const char* baseline_name) {
  std::printf("  %-44s %12.4g %-6s %-26s %12.4g   ratio %6.3f\n", figure, value, unit, baseline_name,
              baseline, baseline > 0 ? value / baseline : 0.0);
}

std::string make_table(const std::string& name, int jobs, const char* command) {
  std::ostringstream text;
  text << "# benchmark table\nMAILTO=root\n";
  for (int i = 0; i < jobs; ++i) text << "1 0 job" << i << ' ' << command << '\n';
  const std::string path = work + "/" + name;
  sandbox::write_file(path, text.str());
  return path;
}

/// A table of the given number of lines in the proportions of a real one:
/// mostly jobs, some settings, comments and blank lines.
std::string make_mixed_table(int lines) {
  std::ostringstream text;
  for (int i = 0; i < lines; ++i) {
    switch (i % 10) {
      case 0: text << "# section " << i << '\n'; break;
      case 1: text << "PATH=/usr/bin:/bin\n"; break;
      case 2: text << '\n'; break;
      case 3: text << "@monthly 5 monthly" << i << " run-parts /etc/monthly\n"; break;
      default: text << "1 " << i % 60 << " job" << i << " /usr/local/bin/task --verbose " << i << '\n';
    }
  }
  const std::string path = work + "/mixed-" + std::to_string(lines);
  sandbox::write_file(path, text.str());
  return path;
}

std::string fresh_spool(const std::string& name) {
  const std::string path = work + "/" + name;
  mkdir(path.c_str(), 0755);
  return path;
}

void per_job_overhead(int rounds) {
  std::printf(
      "\n1. Per-job overhead: 1000 due jobs ':' with -d -q -f -n, against a shell loop\n"
      "   that starts /bin/sh -c : 1000 times (wall time, median of %d, alternating);\n"
      "   the output files on the sandbox's tmpfs, or in the host's /tmp\n",
      rounds);
  const std::string table = make_table("thousand", 1000, ":");
  const std::string spool = fresh_spool("spool-thousand");
  const std::string loop = "i=0; while [ $i -lt 1000 ]; do /bin/sh -c :; i=$((i+1)); done";
  const std::string tmpfs_dir = fresh_spool("tmpdir-on-tmpfs");
  const std::vector<std::string> run = {lapsero, "-d", "-q", "-f", "-n", "-t", table, "-S", spool};
  const std::vector<std::string> on_tmpfs = {"TMPDIR=" + tmpfs_dir}, in_host_tmp = {"TMPDIR=/tmp"};
  std::vector<double> ours, ours_host_tmp, ours_unheard, base, ours_cpu, base_cpu;
  for (int i = 0; i < rounds; ++i) {
    Usage u = measure(run, on_tmpfs);
    Usage b = measure({"/bin/sh", "-c", loop});
    Usage h = measure(run, in_host_tmp);
    // With nobody at /dev/log every message is dropped at once: the
    // difference is what delivering and reading the log lines costs.
    rename("/dev/log", "/dev/log.away");
    Usage q = measure(run, on_tmpfs);
    rename("/dev/log.away", "/dev/log");
    ours.push_back(u.wall), ours_cpu.push_back(u.cpu), ours_host_tmp.push_back(h.wall);
    ours_unheard.push_back(q.wall);
    base.push_back(b.wall), base_cpu.push_back(b.cpu);
  }
  row("wall, 1000 jobs, output on tmpfs", median(ours), "s", median(base), "shell loop");
  row("wall, 1000 jobs, output in the host's /tmp", median(ours_host_tmp), "s", median(base), "shell loop");
  row("cpu (with children), output on tmpfs", median(ours_cpu), "s", median(base_cpu), "shell loop");
  row("wall per job, output on tmpfs", median(ours) / 1000 * 1e6, "us", median(base) / 1000 * 1e6,
      "shell loop per start");
  row("wall, 1000 jobs, nothing at /dev/log", median(ours_unheard), "s", median(base), "shell loop");
}

void nothing_due(int rounds) {
  std::printf(
      "\n2. A run that finds nothing due (every stamp is today's), against /bin/true\n"
      "   (median of %d)\n",
      rounds);
  for (int jobs : {10, 1000}) {
    const std::string name = "nodue" + std::to_string(jobs);
    const std::string table = make_table(name, jobs, ":");
    const std::string spool = fresh_spool("spool-" + name);
    measure({lapsero, "-d", "-q", "-u", "-t", table, "-S", spool});
    std::vector<double> wall, cpu, base_wall, base_cpu;
    for (int i = 0; i < rounds; ++i) {
      Usage u = measure({lapsero, "-d", "-q", "-t", table, "-S", spool});
      Usage b = measure({"/bin/true"});
      wall.push_back(u.wall), cpu.push_back(u.cpu);
      base_wall.push_back(b.wall), base_cpu.push_back(b.cpu);
    }
    const std::string label = std::to_string(jobs) + " jobs";
    row(("wall, " + label).c_str(), median(wall) * 1e3, "ms", median(base_wall) * 1e3, "/bin/true");
    row(("cpu, " + label).c_str(), median(cpu) * 1e3, "ms", median(base_cpu) * 1e3, "/bin/true");
  }
}

/// Voluntary context switches and CPU ticks of a running process.
std::pair<long, long> switches_and_ticks(pid_t pid) {
  long switches = -1, ticks = -1;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) switches = std::stol(line.substr(24));
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) ticks = std::stol(field);
    if (i == 15) ticks += std::stol(field);
  }
  return {switches, ticks};
}

void waiting(int delay_minutes) {
  std::printf(
      "\n3. Waiting costs nothing: one job ':' with a %d-minute delay, sampled from /proc\n"
      "   while the scheduler waits, against /bin/sleep sampled over the same window\n",
      delay_minutes);
  const std::string path = work + "/waiting";
  sandbox::write_file(path, "1 " + std::to_string(delay_minutes) + " waiter :\n");
  const std::string spool = fresh_spool("spool-waiting");
  const double wait_seconds = delay_minutes * 60.0;
  const pid_t sleeper = spawn({"/bin/sleep", std::to_string(static_cast<int>(wait_seconds))});
  std::pair<long, long> early{}, late{}, sleep_early{}, sleep_late{};
  Usage u = measure({lapsero, "-d", "-q", "-t", path, "-S", spool}, {}, [&](pid_t pid) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    early = switches_and_ticks(pid), sleep_early = switches_and_ticks(sleeper);
    std::this_thread::sleep_for(std::chrono::duration<double>(wait_seconds - 4));
    late = switches_and_ticks(pid), sleep_late = switches_and_ticks(sleeper);
  });
  waitpid(sleeper, nullptr, 0);
  const std::string window = "sleep, same " + std::to_string(static_cast<int>(wait_seconds - 4)) + " s";
  row("voluntary switches while waiting", static_cast<double>(late.first - early.first), "",
      static_cast<double>(sleep_late.first - sleep_early.first), window.c_str());
  row("cpu ticks while waiting", static_cast<double>(late.second - early.second), "ticks",
      static_cast<double>(sleep_late.second - sleep_early.second), window.c_str());
  row("voluntary switches, whole run", static_cast<double>(u.voluntary_switches), "", 0, "");
  row("cpu, whole run (job included)", u.cpu * 1e3, "ms", 0, "");
}

/// The peak resident size of a process's present image (VmHWM), in KiB.
long peak_resident(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

/// Peak resident size of a program that reads its input from a FIFO: taken
/// once it has read everything and waits for the end of the file. The rusage
/// of a forked child would also count the pages of this program it was
/// forked from, which are as large as what is measured.
long peak_reading_fifo(const std::vector<std::string>& args, const std::string& fifo,
                       const std::string& content) {
  unlink(fifo.c_str());
  mkfifo(fifo.c_str(), 0644);
  long peak = -1;
  measure(args, {}, [&](pid_t pid) {
    const int fd = open(fifo.c_str(), O_WRONLY);
    for (std::size_t done = 0; done < content.size();) {
      const ssize_t put = write(fd, content.data() + done, content.size() - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    // What is left in the pipe is read and handled well within this time.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peak = peak_resident(pid);
    close(fd);
  });
  return peak;
}

void memory() {
  std::printf(
      "\n4. Memory: peak resident size for a 10,000-line table with -T, against wc -l\n"
      "   on the same lines (VmHWM once the whole table has been read)\n");
  const std::string content = sandbox::read_file(make_mixed_table(10000));
  const std::string fifo = work + "/table-fifo";
  const std::string spool = fresh_spool("spool-memory");
  const long ours = peak_reading_fifo({lapsero, "-T", "-t", fifo, "-S", spool}, fifo, content);
  const long base = peak_reading_fifo({"/usr/bin/wc", "-l", fifo}, fifo, content);
  row("peak RSS, -T on 10,000 lines", static_cast<double>(ours), "KiB", static_cast<double>(base), "wc -l");
}

void table_reading(int rounds) {
  std::printf("\n5. Table reading throughput with -T, against wc -l on the same file (median of %d)\n",
              rounds);
  const std::string spool = fresh_spool("spool-reading");
  for (int lines : {1000, 10000, 100000}) {
    const std::string table = make_mixed_table(lines);
    std::vector<double> ours, base;
    for (int i = 0; i < rounds; ++i) {
      ours.push_back(measure({lapsero, "-T", "-t", table, "-S", spool}).wall);
      base.push_back(measure({"/usr/bin/wc", "-l", table}).wall);
    }
    const std::string label = "lines/s, " + std::to_string(lines) + " lines";
    // Throughput: the ratio is baseline time over our time, so below 1 means slower.
    const double ours_rate = lines / median(ours), base_rate = lines / median(base);
    row(label.c_str(), ours_rate, "", base_rate, "wc -l");
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  sandbox::enter();
  work = sandbox::make_scratch_dir("bench");
  std::atomic<bool> done{false};
  std::thread syslog_sink([&] {
    while (!done) sandbox::take_log(std::chrono::milliseconds(50));
  });

  std::printf("lapsero benchmarks on %ld cores; %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              quick ? "quick run (fewer rounds, 1-minute wait)" : "full run");
  std::printf("  %-44s %12s %-6s %-26s %12s\n", "figure", "lapsero", "", "baseline", "");
  const int rounds = quick ? 3 : 7;
  // In the order of their numbers, which are those of the README's list.
  per_job_overhead(rounds);
  nothing_due(rounds * 3);
  waiting(quick ? 1 : 2);
  memory();
  table_reading(rounds);

  done = true;
  syslog_sink.join();
  return 0;
}
