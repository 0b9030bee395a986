// The test sandbox: a private mount namespace with overlays on /dev and
// /usr/sbin, a syslog socket of the test's own at /dev/log, and a way to run
// a program and collect everything it says.

#include "tests/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef FAKE_SENDMAIL
#error "FAKE_SENDMAIL must name the recording fake sendmail"
#endif

namespace sandbox {
namespace {

std::string root;
int log_fd = -1;
std::vector<LogEntry> pending;
int scratch_serial = 0;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "sandbox: %s: %s\n", what, std::strerror(errno));
  std::fflush(stderr);
  _exit(99);
}

void must(bool ok, const char* what) {
  if (!ok) die(what);
}

void overlay(const std::string& target, const std::string& name) {
  const std::string upper = root + "/." + name + "-upper";
  const std::string work = root + "/." + name + "-work";
  must(mkdir(upper.c_str(), 0755) == 0 && mkdir(work.c_str(), 0755) == 0, "mkdir overlay dirs");
  const std::string options = "lowerdir=" + target + ",upperdir=" + upper + ",workdir=" + work;
  must(mount("overlay", target.c_str(), "overlay", 0, options.c_str()) == 0,
       ("overlay on " + target).c_str());
}

void remove_if_present(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0) must(unlink(path) == 0, path);
}

void leave() {
  if (root.empty()) return;
  umount2("/usr/sbin", MNT_DETACH);
  umount2("/dev", MNT_DETACH);
  umount2(root.c_str(), MNT_DETACH);
  rmdir(root.c_str());
}

/// "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
LogEntry parse_entry(std::string_view raw) {
  LogEntry entry;
  entry.text = std::string(raw);
  if (raw.empty() || raw[0] != '<') return entry;
  const auto close = raw.find('>');
  if (close == std::string_view::npos) return entry;
  const int priority = std::atoi(std::string(raw.substr(1, close - 1)).c_str());
  entry.facility = priority >> 3;
  entry.level = priority & 7;
  std::string_view rest = raw.substr(close + 1);
  if (rest.size() >= 16) rest.remove_prefix(16);  // the time stamp
  const auto tag_end = rest.find("]: ");
  if (tag_end == std::string_view::npos) return entry;
  const auto open = rest.rfind('[', tag_end);
  if (open == std::string_view::npos) return entry;
  entry.ident = std::string(rest.substr(0, open));
  entry.pid = std::atoi(std::string(rest.substr(open + 1, tag_end - open - 1)).c_str());
  entry.text = std::string(rest.substr(tag_end + 3));
  return entry;
}

void reap_log_into(std::vector<LogEntry>& into) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = recv(log_fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0) return;
    into.push_back(parse_entry(std::string_view(buffer, static_cast<std::size_t>(got))));
  }
}

void read_some(int& fd, std::string& into) {
  if (fd < 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    close(fd);
    fd = -1;
    return;
  }
}

/// Children reparented to us (we are a subreaper), and our own children.
std::vector<pid_t> our_children() {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    char state;
    pid_t parent;
    fields >> state >> parent;
    if (parent == self) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

/// "pid: argv..." of a running process, for telling what had to be killed.
std::string command_line(pid_t pid) {
  std::string args = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(args.begin(), args.end(), '\0', ' ');
  while (!args.empty() && args.back() == ' ') args.pop_back();
  return std::to_string(pid) + ": " + args;
}

void collect_ends(Process& process) {
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      if (pid == process.pid) {
        process.status = status;
        process.ended = true;
      }
      continue;
    }
    if (pid < 0 && errno == ECHILD) process.all_ended = true;
    return;
  }
}

}  // namespace

void enter() {
  if (!root.empty()) return;
  must(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0, "prctl(PR_SET_CHILD_SUBREAPER)");
  char pattern[] = "/tmp/lapsero-sandbox.XXXXXX";
  must(mkdtemp(pattern) != nullptr, "mkdtemp");
  root = pattern;
  must(unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS) (tests must run as root)");
  must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
  must(mount("tmpfs", root.c_str(), "tmpfs", 0, "mode=0755") == 0, "tmpfs scratch");
  std::atexit(leave);
  overlay("/dev", "dev");
  overlay("/usr/sbin", "sbin");
  remove_if_present("/usr/sbin/sendmail");
  remove_if_present("/dev/log");

  log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  must(log_fd >= 0, "socket");
  const int buffer = 8 << 20;
  setsockopt(log_fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  must(bind(log_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind /dev/log");
  must(chmod("/dev/log", 0666) == 0, "chmod /dev/log");
}

std::string make_scratch_dir(std::string_view hint) {
  // Tests write these paths into tables, which are shell command lines: a
  // hint such as a case's printed arguments must not bring quotes or braces.
  std::string name(hint);
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
  const std::string path = root + "/" + name + "." + std::to_string(++scratch_serial);
  must(mkdir(path.c_str(), 0755) == 0, "mkdir scratch");
  return path;
}

std::vector<LogEntry> take_log(std::chrono::milliseconds settle) {
  reap_log_into(pending);
  if (settle.count() > 0) {
    pollfd waiting{log_fd, POLLIN, 0};
    while (poll(&waiting, 1, static_cast<int>(settle.count())) > 0) reap_log_into(pending);
  }
  std::vector<LogEntry> taken;
  taken.swap(pending);
  return taken;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, std::string_view content, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  must(fd >= 0, ("create " + path).c_str());
  must(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()), "write");
  must(fchmod(fd, mode) == 0, "fchmod");
  close(fd);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void install_sendmail(mode_t mode) {
  remove_if_present("/usr/sbin/sendmail");
  if (mode == 0) return;
  write_file("/usr/sbin/sendmail", read_file(FAKE_SENDMAIL), mode);
}

int Process::exit_code() const {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -1000 - WTERMSIG(status);
  return -2000;
}

std::map<std::string, std::string> base_environment() {
  std::map<std::string, std::string> env = {
      {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
      {"HOME", "/root"},
      {"LOGNAME", "root"},
      {"TZ", "UTC"},
  };
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) env[name] = value;
  return env;
}

ExecVectors::ExecVectors(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
    : arg_text(args) {
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  for (auto& text : arg_text) argv.push_back(text.data());
  argv.push_back(nullptr);
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);
}

Process start(const Invocation& invocation) {
  std::map<std::string, std::string> env = base_environment();
  for (const auto& name : invocation.unset) env.erase(name);
  for (const auto& [name, value] : invocation.env) env[name] = value;
  if (invocation.faketime) {
    env["LD_PRELOAD"] = faketime_library;
    env["FAKETIME"] = *invocation.faketime;
    env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1";
    env["FAKETIME_DONT_RESET"] = "1";
  }
  ExecVectors vectors(invocation.argv, env);

  // Standard input is a pipe already at its end: the program reads nothing,
  // and never the test runner's own input.
  int out[2], err[2], in[2];
  must(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 && pipe2(in, O_CLOEXEC) == 0, "pipe");
  close(in[1]);
  const std::string cwd = invocation.cwd.empty() ? root : invocation.cwd;

  Process process;
  process.pid = fork();
  must(process.pid >= 0, "fork");
  if (process.pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(in[0], 0) != 0 || dup2(out[1], 1) != 1 || dup2(err[1], 2) != 2) _exit(126);
    for (int fd : invocation.closed_fds) close(fd);
    // Whatever the test runner left open must not reach the program: checks
    // of what a job inherits see only what lapsero passes on.
    close_range(3, ~0U, 0);
    if (chdir(cwd.c_str()) != 0) _exit(125);
    execve(vectors.argv[0], vectors.argv.data(), vectors.envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  process.out_fd = out[0];
  process.err_fd = err[0];
  fcntl(process.out_fd, F_SETFL, O_NONBLOCK);
  fcntl(process.err_fd, F_SETFL, O_NONBLOCK);
  // Wakes the waits below the moment the process ends, where polling alone
  // would sleep out its interval after every run. By the system call: the
  // header of Debian 12's C library declares pidfd_open without C linkage.
  process.pid_fd = static_cast<int>(syscall(SYS_pidfd_open, process.pid, 0));
  process.deadline = std::chrono::steady_clock::now() + invocation.timeout;
  return process;
}

bool wait_until(Process& process, const std::function<bool(const Process&)>& done,
                std::chrono::milliseconds limit) {
  const auto until = std::min(process.deadline, std::chrono::steady_clock::now() + limit);
  for (;;) {
    read_some(process.out_fd, process.out);
    read_some(process.err_fd, process.err);
    reap_log_into(process.log);
    collect_ends(process);
    if (done(process)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    // Once the process is reaped its pidfd stays readable: leave it out.
    pollfd fds[4] = {{process.out_fd, POLLIN, 0},
                     {process.err_fd, POLLIN, 0},
                     {log_fd, POLLIN, 0},
                     {process.ended ? -1 : process.pid_fd, POLLIN, 0}};
    poll(fds, 4, 10);
  }
}

void finish(Process& process) {
  const auto everything_ended = [](const Process& p) { return p.all_ended && p.out_fd < 0 && p.err_fd < 0; };
  if (!wait_until(process, everything_ended, std::chrono::hours(1))) {
    process.timed_out = true;
    // wait_until never waits past the deadline, which has passed: without a
    // new one, no round would give the killed time to end and be reaped.
    process.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    // A killed process's children come to us only once it is gone, so it
    // takes a round per generation; one seen again in a later round, not yet
    // reaped, is recorded once.
    for (int round = 0; round < 50 && !process.all_ended; ++round) {
      for (pid_t pid : our_children()) {
        const std::string stray = command_line(pid);
        if (std::find(process.killed.begin(), process.killed.end(), stray) == process.killed.end())
          process.killed.push_back(stray);
        kill(pid, SIGKILL);
      }
      wait_until(process, everything_ended, std::chrono::milliseconds(100));
    }
  }
  // Every entry was queued before its sender ended.
  reap_log_into(process.log);
  if (process.out_fd >= 0) close(process.out_fd);
  if (process.err_fd >= 0) close(process.err_fd);
  if (process.pid_fd >= 0) close(process.pid_fd);
  process.out_fd = process.err_fd = process.pid_fd = -1;
}

Process run(const Invocation& invocation) {
  Process process = start(invocation);
  finish(process);
  return process;
}

bool catches_signal(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal - 1)) & 1;
  }
  return false;
}

std::vector<std::string> texts(const std::vector<LogEntry>& log) {
  std::vector<std::string> result;
  for (const auto& entry : log) result.push_back(entry.text);
  return result;
}

}  // namespace sandbox
