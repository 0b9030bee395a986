// A spool shared between hosts, on a real GlusterFS volume: every job must
// run exactly once however many schedulers on however many hosts start on
// it at once.
//
//   lapsero_shared_spool [TRIALS [UNSAFE_TRIALS [UNSAFE_SETTING]]]
//   lapsero_shared_spool new-stamps TRIALS [volume:OPTION=VALUE | mount:OPTION[=VALUE]]...
//
// It starts glusterd in the test sandbox, with private copies of its state
// directories (/var/lib/glusterd, /var/log/glusterfs), of /etc/hosts and of
// /run bound over the real ones in the sandbox's mount namespace, and
// in a network namespace of its own with only lo up. glusterd refuses a
// brick on localhost or 127.0.0.1, so the bricks are on a host name that
// the private /etc/hosts maps to 127.0.0.1. Two volumes of two bricks each
// (replica 2) are made: one with the safe settings and one as it comes.
// Each volume is mounted twice through the FUSE client, the two mounts
// standing for two hosts.
//
// A trial starts four schedulers on 20 due jobs at the same instant, two on
// each mount of one volume, and once they have all ended a fifth on the
// second mount, which reads the stamps the others have just written. The
// safe trials' jobs all ran long ago, as on a spool in use; the unsafe
// trials' half have never run. With the safe settings (performance.quick-read off on the volume,
// direct-io-mode=enable on each mount) every trial must run every job
// exactly once, leave every stamp holding today's date, and each "locked by
// another lapsero" notice must name a job that another scheduler ran. With
// the volume's defaults a client whose lock was just granted may still read
// the stamp as it was before the other host wrote it: those trials must
// show a job run twice at least once, so that the manual's warning stays
// true. UNSAFE_SETTING runs the unsafe trials with one safe setting alone:
// "quick-read-off" or "direct-io"; "defaults" is the default.
//
// The new-stamps mode is for measuring, not for the test command: its
// trials are those of the safe volume, with the volume options and mount
// options given added, but no stamp exists before a trial, so that every
// stamp is made while four schedulers race for it. It prints each job run
// twice, with what the bricks hold, and the figures, and exits 1 if any
// job ran twice or not at all. At the safe settings alone a job ran twice
// in 5 trials of 1,000 (6 in 2,200 in all), each time run by one scheduler
// on each mount one after the other: the second, granted the lock after
// the first had stamped the job and let it go, still read the new stamp as
// empty. A stamp that already exists was never read stale at the safe
// settings.
//
// lapsero-status --lint must hint at the mount without direct-io-mode, and
// at none with it. Then lapsero-status is asked about a job held from a third host: a
// scheduler in a pid namespace of its own, on a mount made in that
// namespace, holds the job at a FIFO gate. Its pid means nothing here, so
// the listing must say "in progress elsewhere"; a scheduler on this host,
// on the other mount, must be shown with its pid.
//
// Everything it starts, it ends by pid: it is the child subreaper of all
// the daemons glusterd and the mount helper leave behind. It exits 77 (a
// skip) when /dev/fuse or glusterd is missing.

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sandbox.h"
#include "tests/trials.h"

namespace {

using trials::job_name;
using trials::Run;

constexpr int job_count = 20;
constexpr int schedulers_together = 4;
const char* const lapsero = LAPSERO_BINARY;
const char* const lapsero_status = LAPSERO_STATUS_BINARY;
constexpr char brick_host[] = "brickhost";
constexpr char glusterd_path[] = "/usr/sbin/glusterd";

int failures = 0;
std::string scratch;  ///< the harness's own directory under the sandbox's scratch root

void fail(const std::string& where, const std::string& what) {
  ++failures;
  if (failures <= 50) std::fprintf(stderr, "FAIL %s: %s\n", where.c_str(), what.c_str());
}

[[noreturn]] void give_up(const std::string& what) {
  std::fprintf(stderr, "shared spool: %s\n", what.c_str());
  std::fflush(nullptr);
  std::exit(1);
}

/// Starts a program with its output appended to the harness's log, so that
/// what glusterd's tools say is there when something fails.
pid_t spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {},
            int gate = -1) {
  std::map<std::string, std::string> env = sandbox::base_environment();
  for (const auto& [name, value] : extra) env[name] = value;
  const sandbox::ExecVectors vectors(args, env);
  const std::string log = scratch + "/commands.log";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) give_up("fork failed");
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null, 0), dup2(out, 1), dup2(out, 2);
    if (gate >= 0) {
      // Every process of a trial waits here, and all go when the gate's
      // write end, which only the harness holds, is closed.
      close_range(3, gate - 1, 0);
      close_range(gate + 1, ~0U, 0);
      char byte;
      while (read(gate, &byte, 1) > 0) continue;
    }
    close_range(3, ~0U, 0);
    execve(vectors.argv[0], vectors.argv.data(), vectors.envp.data());
    _exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

bool succeeds(const std::vector<std::string>& args) {
  const int status = wait_for(spawn(args));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void must_run(const std::vector<std::string>& args) {
  if (succeeds(args)) return;
  std::string line;
  for (const auto& arg : args) line += " " + arg;
  give_up("failed:" + line + "\n" + sandbox::read_file(scratch + "/commands.log"));
}

// ---------------------------------------------------------------------------
// The schedulers' log. glusterd's tools log too, so a thread drains the
// sandbox's /dev/log as a syslog daemon would: a sender blocks once the
// socket's queue is full. It keeps the schedulers' entries until a trial
// takes them.

std::mutex log_mutex;
std::condition_variable log_seen;
std::vector<sandbox::LogEntry> log_kept;
long markers_seen = 0;
std::atomic<bool> draining{true};

void drain_log() {
  while (draining) {
    for (auto& entry : sandbox::take_log(std::chrono::milliseconds(5))) {
      const std::lock_guard<std::mutex> hold(log_mutex);
      if (entry.text.find("shared-spool-marker") != std::string::npos) {
        ++markers_seen;
        log_seen.notify_all();
      } else if (entry.ident == "lapsero") {
        log_kept.push_back(std::move(entry));
      }
    }
  }
}

/// The schedulers' entries so far: a marker sent after them is seen once
/// all of them have been.
std::vector<sandbox::LogEntry> take_scheduler_log() {
  static long markers_sent = 0;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  const std::string marker = "<13>shared-spool-marker";
  if (fd < 0 || sendto(fd, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&address),
                       sizeof address) != static_cast<ssize_t>(marker.size()))
    give_up("can't log a marker");
  close(fd);
  ++markers_sent;
  std::unique_lock<std::mutex> hold(log_mutex);
  log_seen.wait(hold, [] { return markers_seen >= markers_sent; });
  std::vector<sandbox::LogEntry> taken;
  taken.swap(log_kept);
  return taken;
}

// ---------------------------------------------------------------------------
// The cluster

/// Binds a fresh directory (a copy of the original's content when asked)
/// over a system directory, inside the sandbox's mount namespace only.
void bind_private(const std::string& target, bool copy) {
  const std::string source = scratch + "/state" + target;
  std::filesystem::create_directories(source);
  if (copy) std::filesystem::copy(target, source, std::filesystem::copy_options::recursive);
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
    give_up("can't bind a private " + target + ": " + std::strerror(errno));
}

void private_hosts() {
  const std::string hosts = scratch + "/hosts";
  sandbox::write_file(hosts, std::string("127.0.0.1 localhost\n127.0.0.1 ") + brick_host + "\n");
  if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
    give_up(std::string("can't bind a private /etc/hosts: ") + std::strerror(errno));
}

/// A network namespace of our own, with only the loopback interface, up.
void private_network() {
  if (unshare(CLONE_NEWNET) != 0) give_up(std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno));
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &request) != 0) give_up("can't read the flags of lo");
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) give_up("can't bring lo up");
  close(fd);
}

/// Whether glusterd accepts connections on its management port yet.
bool glusterd_listens() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(24007);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return up;
}

void start_glusterd() {
  const pid_t pid = spawn({glusterd_path, "-N", "--log-file=" + scratch + "/glusterd.log"});
  for (int round = 0; !glusterd_listens(); ++round) {
    if (round >= 3000 || waitpid(pid, nullptr, WNOHANG) == pid)
      give_up("glusterd did not come up:\n" + sandbox::read_file(scratch + "/glusterd.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void gluster(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/sbin/gluster", "--mode=script"});
  must_run(args);
}

/// Makes and starts a volume of two replicated bricks; safe: with the
/// quick-read translator off.
void make_volume(const std::string& volume, bool quick_read_off,
                 const std::vector<std::string>& options = {}) {
  std::vector<std::string> create = {"volume", "create", volume, "replica", "2"};
  for (const char* brick : {"/b1", "/b2"}) {
    const std::string path = scratch + "/bricks/" + volume + brick;
    std::filesystem::create_directories(path);
    create.push_back(std::string(brick_host) + ":" + path);
  }
  create.push_back("force");
  gluster(create);
  if (quick_read_off) gluster({"volume", "set", volume, "performance.quick-read", "off"});
  for (const auto& option : options) {
    const auto equals = option.find('=');
    gluster({"volume", "set", volume, option.substr(0, equals), option.substr(equals + 1)});
  }
  gluster({"volume", "start", volume});
}

std::vector<std::string> mounted;

std::string mount_volume(const std::string& volume, const std::string& name, bool direct_io,
                         const std::string& more_options = "") {
  const std::string point = scratch + "/" + name;
  std::filesystem::create_directories(point);
  std::vector<std::string> args = {"/bin/mount", "-t", "glusterfs"};
  std::string options = direct_io ? "direct-io-mode=enable" : "";
  if (!more_options.empty()) options += (options.empty() ? "" : ",") + more_options;
  if (!options.empty()) args.insert(args.end(), {"-o", options});
  args.insert(args.end(), {std::string(brick_host) + ":/" + volume, point});
  must_run(args);
  mounted.push_back(point);
  return point;
}

/// Our children: the ones we started, and the daemons left to us.
std::vector<pid_t> our_children() {
  std::vector<pid_t> found;
  const std::string self = std::to_string(getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = sandbox::read_file("/proc/" + pid + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state, parent;
    fields >> state >> parent;
    if (parent == self) found.push_back(std::stoi(pid));
  }
  return found;
}

/// Unmounts, then ends every daemon by its pid: SIGTERM, and SIGKILL for
/// one that has not gone within a few seconds.
void tear_down() {
  for (const auto& point : mounted) umount2(point.c_str(), MNT_DETACH);
  for (int signal : {SIGTERM, SIGKILL}) {
    const auto left = our_children();
    for (pid_t pid : left) kill(pid, signal);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::set<pid_t> waiting(left.begin(), left.end());
    while (!waiting.empty() && std::chrono::steady_clock::now() < until) {
      for (auto pid = waiting.begin(); pid != waiting.end();)
        pid = waitpid(*pid, nullptr, WNOHANG) == *pid ? waiting.erase(pid) : std::next(pid);
      if (!waiting.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waiting.empty()) break;
  }
}

// ---------------------------------------------------------------------------
// The trials

/// What each brick holds of a stamp: its GlusterFS file id and content,
/// for telling a stale read from two files made at once under one name.
std::string brick_copies(const std::string& mount, const std::string& spool, const std::string& job) {
  const std::string volume = mount.substr(mount.rfind('/') + 1, mount.size() - mount.rfind('/') - 2);
  std::string text;
  for (const char* brick : {"/b1", "/b2"}) {
    const std::string path = scratch + "/bricks/" + volume + brick + spool + "/" + job;
    unsigned char id[16] = {};
    const ssize_t got = getxattr(path.c_str(), "trusted.gfid", id, sizeof id);
    char hex[40] = "none";
    if (got == 16)
      std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x%02x%02x%02x%02x", id[0], id[1], id[2], id[3], id[4],
                    id[5], id[6], id[7]);
    std::string content = sandbox::read_file(path);
    if (!content.empty() && content.back() == '\n') content.pop_back();
    text += std::string("; ") + brick + " id " + hex + " holds '" + content + "'";
  }
  return text;
}

struct Figures {
  long trials = 0, runs = 0, duplicates = 0, zero_runs = 0, notices = 0, late_runs = 0;
  long trials_with_duplicates = 0;
};

/// One trial on one volume, mounted at first and second; returns whether
/// every invariant held. Unsafe trials count what broke without failing.
/// Which stamps exist before a trial.
enum class Stamps {
  all_old,   ///< every job ran long ago: the steady state of a shared spool
  half_new,  ///< half of the jobs have never run
  all_new,   ///< no stamp exists yet
};

void trial(const std::string& name, const std::string& first, const std::string& second, bool safe,
           Figures& figures, Stamps stamps) {
  const std::string spool = "/" + name, local = sandbox::make_scratch_dir(name);
  const std::string runs = local + "/runs", table = local + "/lapserotab";
  mkdir((first + spool).c_str(), 0755);
  sandbox::write_file(table, trials::table_for(job_count, runs, ""));
  const int step = stamps == Stamps::all_old ? 1 : 2;
  for (int i = 0; i < job_count && stamps != Stamps::all_new; i += step)
    sandbox::write_file(first + spool + "/" + job_name(i), "20000101\n", 0600);

  const std::map<std::string, std::string> env = {{"TMPDIR", local}};
  std::vector<pid_t> schedulers;
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) give_up("pipe");
  std::map<pid_t, int> mount_of;  // 1 or 2
  for (int i = 0; i < schedulers_together; ++i) {
    schedulers.push_back(
        spawn({lapsero, "-d", "-t", table, "-S", (i % 2 ? second : first) + spool}, env, gate[0]));
    mount_of[schedulers.back()] = i % 2 + 1;
  }
  close(gate[1]);
  close(gate[0]);
  for (pid_t pid : schedulers) {
    const int status = wait_for(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      fail(name, "a scheduler ended with wait status " + std::to_string(status));
  }
  // The latecomer reads, through the second mount, stamps that schedulers
  // on the first have just written; the second mount read them before.
  const pid_t late = spawn({lapsero, "-d", "-t", table, "-S", second + spool}, env);
  schedulers.push_back(late);
  mount_of[late] = 2;
  if (const int status = wait_for(late); !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail(name, "the late scheduler ended with wait status " + std::to_string(status));

  std::map<std::string, std::vector<Run>> by_job;
  for (const Run& run : trials::read_runs(runs)) by_job[run.job].push_back(run);
  std::map<pid_t, std::set<std::string>> ran_by;
  const long duplicates_before = figures.duplicates;
  const std::string today = trials::today_stamp();
  for (int i = 0; i < job_count; ++i) {
    const std::string job = job_name(i);
    long starts = 0;
    std::string record;
    for (const Run& run : by_job[job]) {
      starts += run.kind == "start";
      if (run.kind == "start") ran_by[run.pid].insert(job);
      if (run.pid == late && run.kind == "start") ++figures.late_runs;
      record += " [" + run.kind + " " + std::to_string(run.pid) + " on mount " +
                std::to_string(mount_of[run.pid]) + (run.pid == late ? ", late" : "") + "]";
    }
    figures.runs += starts;
    figures.duplicates += starts > 1 ? starts - 1 : 0;
    figures.zero_runs += starts == 0;
    if (!safe && stamps == Stamps::all_new && starts > 1)
      std::printf("    %s: %s ran %ld times:%s%s\n", name.c_str(), job.c_str(), starts, record.c_str(),
                  brick_copies(first, spool, job).c_str());
    if (safe && starts != 1)
      fail(name, job + " did not run exactly once:" + record + brick_copies(first, spool, job));
    const std::string stamp = sandbox::read_file(first + spool + "/" + job);
    if (safe && stamp != today) fail(name, job + " is stamped '" + stamp + "'");
  }
  for (const auto& entry : take_scheduler_log()) {
    if (entry.ident != "lapsero" || entry.text.find("locked by another lapsero") == std::string::npos)
      continue;
    ++figures.notices;
    const auto open = entry.text.find('`'), close = entry.text.find('\'');
    const std::string job = entry.text.substr(open + 1, close - open - 1);
    bool elsewhere = false;
    for (const auto& [pid, jobs] : ran_by) elsewhere |= pid != entry.pid && jobs.count(job);
    if (safe && !elsewhere) fail(name, "'" + entry.text + "' but no other scheduler ran " + job);
  }
  ++figures.trials;
  figures.trials_with_duplicates += figures.duplicates > duplicates_before;
  std::filesystem::remove_all(local);
}

/// Wall time per job of one scheduler alone on 20 due jobs, over a few
/// runs: a figure, never asserted.
double milliseconds_per_job(const std::string& root, const std::string& name) {
  constexpr int runs = 5;
  const std::string local = sandbox::make_scratch_dir(name), table = local + "/lapserotab";
  std::string text;
  for (int i = 0; i < job_count; ++i) text += "1 0 " + job_name(i) + " true\n";
  sandbox::write_file(table, text);
  std::chrono::duration<double, std::milli> spent{0};
  for (int run = 0; run < runs; ++run) {
    const std::string spool = root + "/" + name + std::to_string(run);
    mkdir(spool.c_str(), 0755);
    const auto start = std::chrono::steady_clock::now();
    wait_for(spawn({lapsero, "-d", "-t", table, "-S", spool}, {{"TMPDIR", local}}));
    spent += std::chrono::steady_clock::now() - start;
  }
  take_scheduler_log();
  return spent.count() / (runs * job_count);
}

void print(const char* what, const Figures& figures) {
  std::printf(
      "  %s: %ld trials, %ld job runs (%ld expected), %ld duplicates, %ld jobs not run, "
      "%ld run by the late scheduler, %ld lock notices; %ld trials with a duplicate\n",
      what, figures.trials, figures.runs, figures.trials * job_count, figures.duplicates, figures.zero_runs,
      figures.late_runs, figures.notices, figures.trials_with_duplicates);
}

// ---------------------------------------------------------------------------
// The listing of a job held from another host

sandbox::Process start_status(std::vector<std::string> args) {
  sandbox::Invocation invocation;
  args.insert(args.begin(), lapsero_status);
  invocation.argv = std::move(args);
  return sandbox::start(invocation);
}

/// Reads the listing to its end and waits for the program. Not
/// sandbox::finish, which waits for every child of ours to end, and the
/// daemons of the volume are ours too.
void finish_status(sandbox::Process& process) {
  sandbox::wait_until(process, [](const sandbox::Process& p) { return p.out_fd < 0 && p.err_fd < 0; });
  if (!process.ended) waitpid(process.pid, &process.status, 0);
}

/// Starts `lapsero -d` on the spool with one job, held, that touches `ready`
/// and then waits to read a line from `gate`. elsewhere: in a pid namespace
/// of its own, on a mount of the volume made in that namespace, so that
/// even the FUSE client knows nothing of our pids.
pid_t start_holder(const std::string& table, const std::string& spool, const std::string& local,
                   const std::string& volume, bool elsewhere) {
  if (!elsewhere) return spawn({lapsero, "-d", "-t", table, "-S", spool}, {{"TMPDIR", local}});
  const std::string point = scratch + "/elsewhere";
  std::filesystem::create_directories(point);
  mounted.push_back(point);
  const std::string script = "mount -t glusterfs -o direct-io-mode=enable " + std::string(brick_host) + ":/" +
                             volume + " " + point + " && " + lapsero + " -d -t " + table + " -S " + point +
                             spool.substr(spool.rfind('/')) + "; umount " + point;
  return spawn({"/usr/bin/unshare", "--pid", "--fork", "/bin/sh", "-c", script}, {{"TMPDIR", local}});
}

void held_elsewhere(const std::string& volume, const std::string& first, const std::string& second) {
  for (const bool elsewhere : {false, true}) {
    const std::string name = elsewhere ? "held elsewhere" : "held here";
    const std::string local = sandbox::make_scratch_dir("holder");
    const std::string spool_name = elsewhere ? "/status-elsewhere" : "/status-here";
    mkdir((first + spool_name).c_str(), 0755);
    const std::string gate = local + "/gate", ready = local + "/ready", table = local + "/lapserotab";
    mkfifo(gate.c_str(), 0600);
    sandbox::write_file(table, "1 0 held touch " + ready + "; read line < " + gate + "\n");
    const pid_t holder = start_holder(table, second + spool_name, local, volume, elsewhere);
    for (int round = 0; !sandbox::exists(ready); ++round) {
      if (round >= 3000 || waitpid(holder, nullptr, WNOHANG) == holder)
        give_up(name + ": the job never started");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Both listings are read while the job is held; only then is it let go.
    sandbox::Process done[] = {start_status({"-t", table, "-S", first + spool_name}),
                               start_status({"-t", table, "-S", first + spool_name, "--json"})};
    for (auto& process : done) finish_status(process);
    const int fd = open(gate.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, "go\n", 3) != 3) give_up(name + ": can't open the gate");
    close(fd);
    wait_for(holder);

    const std::string state =
        elsewhere ? "in progress elsewhere" : "in progress (pid " + std::to_string(holder) + ")";
    if (done[0].out.find(state) == std::string::npos)
      fail(name, "the listing does not say '" + state + "':\n" + done[0].out);
    const std::string lock = elsewhere ? "\"lock_elsewhere\": true" : "\"lock_elsewhere\": false";
    const std::string pid = elsewhere ? "\"lock_pid\": null" : "\"lock_pid\": " + std::to_string(holder);
    for (const auto& expected : {lock, pid})
      if (done[1].out.find(expected) == std::string::npos)
        fail(name, "the JSON lacks " + expected + ":\n" + done[1].out);
    std::printf("  %s: %s", name.c_str(), done[0].out.substr(done[0].out.find('\n') + 1).c_str());
  }
}

/// --lint on a spool on each volume: a hint for the mount without
/// direct-io-mode, none for the one with it.
void lint_hints(const std::string& safe_mount, const std::string& unsafe_mount) {
  const std::string local = sandbox::make_scratch_dir("lint"), table = local + "/lapserotab";
  sandbox::write_file(table, "1 0 backup true\n");
  for (const std::string& root : {safe_mount, unsafe_mount}) {
    const std::string spool = root + "/lint";
    mkdir(spool.c_str(), 0755);
    sandbox::Process run = start_status({"--lint", "-t", table, "-S", spool});
    finish_status(run);
    const bool safe = root == safe_mount;
    const std::string hint = spool + ": the spool is on GlusterFS (" + brick_host + ":/unsafe at " + root +
                             ") mounted without direct-io-mode=enable: for each job to run once across the "
                             "hosts that share the spool, every host must mount the volume with -o "
                             "direct-io-mode=enable, and the volume needs `gluster volume set unsafe "
                             "performance.quick-read off'\n";
    if (run.out != (safe ? "" : hint) || run.exit_code() != (safe ? 0 : 1))
      fail(safe ? "lint, safe mount" : "lint, unsafe mount",
           "exit " + std::to_string(run.exit_code()) + ", said:\n" + run.out + run.err);
  }
}

/// The new-stamps mode: trials at the safe settings, plus the options
/// given, in which no stamp exists before the trial; counted, not failed.
int new_stamp_trials(int trials, const std::vector<std::string>& options) {
  std::vector<std::string> volume_options;
  std::string mount_options;
  for (const auto& option : options) {
    if (option.rfind("volume:", 0) == 0) volume_options.push_back(option.substr(7));
    if (option.rfind("mount:", 0) == 0)
      mount_options += (mount_options.empty() ? "" : ",") + option.substr(6);
  }
  make_volume("safe", true, volume_options);
  const std::string first = mount_volume("safe", "safe1", true, mount_options);
  const std::string second = mount_volume("safe", "safe2", true, mount_options);
  take_scheduler_log();
  Figures figures;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < trials; ++i)
    trial("new" + std::to_string(i), first, second, false, figures, Stamps::all_new);
  std::printf("new stamps, %.1f s:",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  for (const auto& option : options) std::printf(" %s", option.c_str());
  std::printf("\n");
  print("safe settings, every stamp new", figures);
  return figures.duplicates == 0 && figures.zero_runs == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool new_stamps = argc > 1 && std::string(argv[1]) == "new-stamps";
  const int trials = argc > 1 + new_stamps ? std::atoi(argv[1 + new_stamps]) : 20;
  const int unsafe_trials = argc > 2 && !new_stamps ? std::atoi(argv[2]) : 10;
  const std::string unsafe_setting = argc > 3 && !new_stamps ? argv[3] : "defaults";
  std::vector<std::string> new_stamp_options;
  for (int i = 3; new_stamps && i < argc; ++i) new_stamp_options.emplace_back(argv[i]);
  bool options_known = true;
  for (const auto& option : new_stamp_options)
    options_known &= (option.rfind("volume:", 0) == 0 && option.find('=') != std::string::npos) ||
                     option.rfind("mount:", 0) == 0;
  if (trials <= 0 || unsafe_trials < 0 || !options_known || (new_stamps && argc < 3) ||
      (unsafe_setting != "defaults" && unsafe_setting != "quick-read-off" && unsafe_setting != "direct-io")) {
    std::fprintf(stderr,
                 "usage: %s [TRIALS [UNSAFE_TRIALS [defaults|quick-read-off|direct-io]]]\n"
                 "       %s new-stamps TRIALS [volume:OPTION=VALUE | mount:OPTION[=VALUE]]...\n",
                 argv[0], argv[0]);
    return 2;
  }
  for (const char* needed :
       {"/dev/fuse", glusterd_path, "/sbin/mount.glusterfs", "/var/lib/glusterd", "/var/log/glusterfs"})
    if (!sandbox::exists(needed)) {
      std::printf("skipped: %s is missing (the shared spool test needs FUSE and glusterfs-server)\n", needed);
      return 77;
    }
  sandbox::enter();
  scratch = sandbox::make_scratch_dir("gluster");
  const auto started = std::chrono::steady_clock::now();
  private_network();
  // Started after the network namespace, which a process enters only
  // while it has one thread.
  std::thread log_sink(drain_log);
  private_hosts();
  bind_private("/var/lib/glusterd", true);
  // The command-line tool finds glusterd through /run/glusterd.socket, so
  // the whole of /run is private: two runs at once must not meet there.
  if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || mkdir("/run/gluster", 0755) != 0)
    give_up(std::string("can't mount a private /run: ") + std::strerror(errno));
  bind_private("/var/log/glusterfs", false);
  start_glusterd();
  if (new_stamps) {
    const int status = new_stamp_trials(trials, new_stamp_options);
    tear_down();
    draining = false;
    log_sink.join();
    return status;
  }
  make_volume("safe", true);
  make_volume("unsafe", unsafe_setting == "quick-read-off");
  const std::string safe1 = mount_volume("safe", "safe1", true), safe2 = mount_volume("safe", "safe2", true);
  const bool unsafe_direct_io = unsafe_setting == "direct-io";
  const std::string unsafe1 = mount_volume("unsafe", "unsafe1", unsafe_direct_io);
  const std::string unsafe2 = mount_volume("unsafe", "unsafe2", unsafe_direct_io);
  const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  Figures safe, unsafe;
  take_scheduler_log();
  for (int i = 0; i < trials; ++i)
    trial("safe" + std::to_string(i), safe1, safe2, true, safe, Stamps::all_old);
  const auto safe_done = std::chrono::steady_clock::now();
  for (int i = 0; i < unsafe_trials; ++i)
    trial("unsafe" + std::to_string(i), unsafe1, unsafe2, false, unsafe, Stamps::half_new);
  const auto unsafe_done = std::chrono::steady_clock::now();
  std::printf("shared spool on GlusterFS: setup %.1f s, safe trials %.1f s, unsafe trials %.1f s\n", setup,
              std::chrono::duration<double>(safe_done - started).count() - setup,
              std::chrono::duration<double>(unsafe_done - safe_done).count());
  print("safe (quick-read off, direct-io-mode=enable)", safe);
  print(("unsafe (" + unsafe_setting + ")").c_str(), unsafe);
  if (safe.notices == 0) fail("safe trials", "no scheduler ever found a job locked by another");
  if (unsafe_trials > 0 && unsafe.duplicates == 0)
    fail("unsafe trials", "no job ran twice: the warning about the defaults is no longer shown true");
  const double shared_cost = milliseconds_per_job(safe1, "cost"),
               local_cost = milliseconds_per_job(scratch, "cost");
  std::printf("  one scheduler, 20 due jobs: %.1f ms a job on the shared spool, %.1f ms on a local one\n",
              shared_cost, local_cost);
  held_elsewhere("safe", safe1, safe2);
  lint_hints(safe1, unsafe1);
  tear_down();
  draining = false;
  log_sink.join();
  if (failures > 0) {
    std::printf("FAILED: %d broken invariants\n", failures);
    return 1;
  }
  std::printf("every invariant held in every trial\n");
  return 0;
}
