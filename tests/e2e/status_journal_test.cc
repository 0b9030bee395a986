// lapsero-status and the journal: how each job's last run ended, in the
// columns, in JSON, in the metrics and in the exit status of --failed.
//
// The journals are files the test builds from the export format with
// systemd-journal-remote, so no journald has to run and nothing depends on
// what the host's journal holds: the host's is hidden from every test here
// (hide_system_journal), and the one test of the system journal puts a
// file of its own where journald would keep it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using Args = std::vector<std::string>;
using Json = nlohmann::json;

constexpr const char journal_remote[] = "/lib/systemd/systemd-journal-remote";
constexpr const char python[] = "/usr/bin/python3";
constexpr const char promtool[] = "/usr/bin/promtool";

/// Runs a program to its end in the sandbox, as it is.
sandbox::Process run_program(std::vector<std::string> argv) {
  sandbox::Invocation inv;
  inv.argv = std::move(argv);
  return sandbox::run(inv);
}

/// A line as journald keeps it of a process that sent it to /dev/log.
struct Logged {
  std::string when;  ///< "2024-03-11 10:00:05", UTC like the sandbox
  std::string message;
  uid_t uid = 0;
  std::string ident = "lapsero";
  int facility = 9;  ///< cron
};

/// Microseconds since the epoch of a UTC time "YYYY-MM-DD hh:mm:ss".
std::string realtime_usec(const std::string& when) {
  std::tm tm{};
  EXPECT_EQ(std::sscanf(when.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec),
            6)
      << when;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return std::to_string(static_cast<long long>(timegm(&tm)) * 1000000);
}

/// The LAST RESULT column of each job, by name.
std::map<std::string, std::string> results(const std::string& out) {
  std::map<std::string, std::string> found;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(columns(line), (Lines{"JOB", "PERIOD", "DELAY", "LAST RUN", "LAST RESULT", "NEXT DUE", "STATE"}));
  while (std::getline(lines, line)) {
    const Lines fields = columns(line);
    found[fields[0]] = fields.at(4);
  }
  return found;
}

class Outcomes : public Lapsero {
 protected:
  void SetUp() override {
    if (access(journal_remote, X_OK) != 0)
      GTEST_SKIP() << journal_remote
                   << " is missing (package systemd-journal-remote; ./dev.sh check installs it)";
    Lapsero::SetUp();
    hide_system_journal();
  }
  void TearDown() override { show_system_journal(); }

  /// A journal file of the lines, in the order given, which is the order
  /// they were logged in; at dir/NAME when no path is given.
  std::string journal(const std::vector<Logged>& lines, std::string path = "") {
    if (path.empty()) path = dir + "/lines.journal";
    const std::string machine = sandbox::read_file("/etc/machine-id").substr(0, 32);
    std::string text;
    int monotonic = 1000000;
    for (const auto& line : lines) {
      text += "__REALTIME_TIMESTAMP=" + realtime_usec(line.when) + "\n";
      text += "__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic += 1000) + "\n";
      text += "_BOOT_ID=3f2a9c0d5e6b4a718c9d0e1f2a3b4c5d\n";
      if (!machine.empty()) text += "_MACHINE_ID=" + machine + "\n";
      text += "_TRANSPORT=syslog\n";
      text += "_PID=4242\n_UID=" + std::to_string(line.uid) + "\n_GID=" + std::to_string(line.uid) + "\n";
      text += "SYSLOG_FACILITY=" + std::to_string(line.facility) + "\n";
      text += "SYSLOG_IDENTIFIER=" + line.ident + "\n";
      text += "PRIORITY=5\nMESSAGE=" + line.message + "\n\n";
    }
    const std::string exported = dir + "/lines.export";
    sandbox::write_file(exported, text);
    unlink(path.c_str());
    const auto made = run_program({journal_remote, "--output=" + path, exported});
    EXPECT_EQ(made.exit_code(), 0) << made.err;
    EXPECT_TRUE(sandbox::exists(path)) << made.err;
    return path;
  }

  sandbox::Process status(Args args) { return lapsero(listing_on(std::move(args))); }
  /// The same with --journal-file=FILE in front.
  sandbox::Process status_of(const std::string& file, Args args = {}) {
    args.insert(args.begin(), "--journal-file=" + file);
    return status(std::move(args));
  }
  sandbox::Process status_as_nobody(Args args) {
    return lapsero(as_nobody(status_invocation(std::move(args))));
  }
};

TEST_F(Outcomes, EveryOutcomeInTheColumnsAndInJson) {
  table("1 0 fine true\n1 0 chatty true\n1 0 failing true\n1 0 killed true\n1 0 odd true\n1 0 quiet true\n");
  for (const char* job : {"fine", "chatty", "failing", "killed", "odd", "quiet"})
    set_stamp(job, "20240311\n");
  const std::string file = journal({
      {"2024-03-11 10:00:01", "Job `fine' terminated"},
      {"2024-03-11 10:00:02", "Job `chatty' terminated (mailing output)"},
      {"2024-03-11 10:00:03", "Job `failing' terminated (exit status: 3) (mailing output)"},
      {"2024-03-11 10:00:04", "Job `killed' terminated due to signal 9"},
      {"2024-03-11 10:00:05", "Job `odd' terminated abnormally (mailing output)"},
  });

  const auto human = status_of(file);
  EXPECT_EQ(human.exit_code(), 0) << human.err;
  EXPECT_EQ(human.err, "");
  EXPECT_EQ(human.out,
            "JOB      PERIOD  DELAY  LAST RUN    LAST RESULT        NEXT DUE    STATE\n"
            "fine     1       0 min  2024-03-11  ok                 2024-03-12  due\n"
            "chatty   1       0 min  2024-03-11  ok (mailed)        2024-03-12  due\n"
            "failing  1       0 min  2024-03-11  exit 3 (mailed)    2024-03-12  due\n"
            "killed   1       0 min  2024-03-11  signal 9           2024-03-12  due\n"
            "odd      1       0 min  2024-03-11  abnormal (mailed)  2024-03-12  due\n"
            "quiet    1       0 min  2024-03-11  -                  2024-03-12  due\n");

  // The time in the caller's zone, with its offset.
  auto inv = listing_on({"--journal-file=" + file, "--json"});
  inv.env["TZ"] = "Europe/Berlin";
  const auto json = lapsero(inv);
  ASSERT_EQ(json.exit_code(), 0) << json.err;
  const Json listing = Json::parse(json.out);
  ASSERT_EQ(listing.size(), 6u);
  const char* const expected[] = {
      R"({"outcome": "ok", "exit_status": 0, "signal": null, "logged": "2024-03-11T11:00:01+01:00",
          "mailed": false})",
      R"({"outcome": "ok", "exit_status": 0, "signal": null, "logged": "2024-03-11T11:00:02+01:00",
          "mailed": true})",
      R"({"outcome": "exit", "exit_status": 3, "signal": null, "logged": "2024-03-11T11:00:03+01:00",
          "mailed": true})",
      R"({"outcome": "signal", "exit_status": null, "signal": 9, "logged": "2024-03-11T11:00:04+01:00",
          "mailed": false})",
      R"({"outcome": "abnormal", "exit_status": null, "signal": null, "logged": "2024-03-11T11:00:05+01:00",
          "mailed": true})",
      "null",
  };
  for (std::size_t i = 0; i < listing.size(); ++i) {
    SCOPED_TRACE(listing[i].dump());
    EXPECT_EQ(listing[i]["last_result"], Json::parse(expected[i]));
    EXPECT_EQ(listing[i]["last_result_missing"], i < 5 ? Json(nullptr) : Json("no_line"));
  }
}

TEST_F(Outcomes, TheLatestLineWins) {
  table("1 0 backup true\n1 0 recovered true\n");
  const std::string file = journal({
      {"2024-03-01 10:00:00", "Job `backup' terminated"},
      {"2024-03-05 10:00:00", "Job `recovered' terminated due to signal 15"},
      {"2024-03-05 10:00:01", "Job `backup' terminated (exit status: 1) (mailing output)"},
      // Lines after it that tell no outcome change nothing.
      {"2024-03-06 10:00:00", "Job `backup' started"},
      {"2024-03-06 10:00:01",
       "Tried to mail output of job `backup', but mailer process (/usr/sbin/sendmail) exited with status 75"},
      {"2024-03-10 10:00:00", "Job `recovered' terminated"},
  });
  const auto run = status_of(file);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(results(run.out),
            (std::map<std::string, std::string>{{"backup", "exit 1 (mailed)"}, {"recovered", "ok"}}));
  EXPECT_EQ(status_of(file, {"--failed"}).exit_code(), 2);
  EXPECT_EQ(status_of(file, {"--failed", "recovered"}).exit_code(), 0);
}

TEST_F(Outcomes, OnlyTheLinesOfTheStampOwnersSchedulerCount) {
  table("1 0 mine true\n1 0 theirs true\n1 0 unstamped true\n1 0 forged true\n");
  set_stamp("mine", "20240310\n");
  set_stamp("theirs", "20240310\n");
  ASSERT_EQ(chown(stamp_path("theirs").c_str(), 65534, 65534), 0);
  set_stamp("forged", "20240310\n");
  const std::string file = journal({
      {"2024-03-01 10:00:00", "Job `forged' terminated"},
      {"2024-03-09 10:00:00", "Job `unstamped' terminated due to signal 6"},
      {"2024-03-10 10:00:00", "Job `mine' terminated"},
      {"2024-03-10 10:00:01", "Job `theirs' terminated (mailing output)", 65534},
      // Another user's scheduler, of a spool of its own.
      {"2024-03-11 10:00:00", "Job `mine' terminated (exit status: 1)", 1000},
      {"2024-03-11 10:00:01", "Job `theirs' terminated (exit status: 2)", 0},
      {"2024-03-11 10:00:02", "Job `unstamped' terminated", 1000},
      // Not the scheduler: another name, or another facility than cron.
      {"2024-03-11 10:00:03", "Job `forged' terminated (exit status: 9)", 0, "root"},
      {"2024-03-11 10:00:04", "Job `forged' terminated (exit status: 9)", 0, "lapsero", 1},
  });
  const auto run = status_of(file);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(results(run.out),
            (std::map<std::string, std::string>{
                {"mine", "ok"}, {"theirs", "ok (mailed)"}, {"unstamped", "signal 6"}, {"forged", "ok"}}));

  // A job without a stamp takes the lines of the spool's owner.
  ASSERT_EQ(chown(spool.c_str(), 1000, 1000), 0);
  EXPECT_EQ(results(status_of(file, {"unstamped"}).out).at("unstamped"), "ok");
}

TEST_F(Outcomes, ALineCutShortIsNoResult) {
  // The scheduler cuts a message of 150 characters or more to 138 and
  // " (truncated)": the outcome of so long a name is lost. Quotes in a
  // name are no trouble.
  const std::string long_name(130, 'n');
  table("1 0 " + long_name + " true\n1 0 it's` true\n");
  const std::string cut =
      ("Job `" + long_name + "' terminated (exit status: 1)").substr(0, 138) + " (truncated)";
  const std::string file = journal({
      {"2024-03-11 10:00:00", cut},
      {"2024-03-11 10:00:01", "Job `it's`' terminated (exit status: 4)"},
  });
  const auto run = status_of(file, {"--json", "--failed"});
  EXPECT_EQ(run.exit_code(), 2) << run.err;
  const Json listing = Json::parse(run.out);
  EXPECT_EQ(listing[0]["last_result"], nullptr);
  EXPECT_EQ(listing[0]["last_result_missing"], "no_line");
  EXPECT_EQ(listing[1]["last_result"]["exit_status"], 4);
  EXPECT_EQ(status_of(file, {"--failed", "n*"}).exit_code(), 0);
}

TEST_F(Outcomes, LinesOlderThan400DaysAreNotRead) {
  // 400 days before 2024-03-12 10:00:00 is 2023-02-06 10:00:00.
  table("1 0 old true\n1 0 recent true\n");
  const std::string file = journal({
      {"2023-02-06 09:59:59", "Job `old' terminated"},
      {"2023-02-06 10:00:01", "Job `recent' terminated"},
  });
  EXPECT_EQ(results(status_of(file).out),
            (std::map<std::string, std::string>{{"old", "-"}, {"recent", "ok"}}));
}

TEST_F(Outcomes, ALineOutsideTheWindowHidesNoOlderLine) {
  // Logged in this order: a clock that was years off for a while leaves a
  // line 500 days old between two that count.
  table("1 0 a true\n1 0 b true\n1 0 c true\n");
  const std::string file = journal({
      {"2024-03-11 10:00:01", "Job `a' terminated (exit status: 3)"},
      {"2022-10-29 10:00:02", "Job `c' terminated"},
      {"2024-03-11 10:00:03", "Job `b' terminated"},
  });
  EXPECT_EQ(results(status_of(file).out),
            (std::map<std::string, std::string>{{"a", "exit 3"}, {"b", "ok"}, {"c", "-"}}));
  EXPECT_EQ(status_of(file, {"--failed"}).exit_code(), 2);
}

TEST_F(Outcomes, NoResultSaysWhy) {
  table("1 0 done true\n1 0 quiet true\n");
  set_stamp("done", "20240311\n");
  set_stamp("quiet", "20240311\n");
  const auto missing = [](const sandbox::Process& run) {
    EXPECT_NE(run.exit_code(), 1) << run.err;
    std::vector<Json> why;
    for (const auto& job : Json::parse(run.out)) why.push_back(job["last_result_missing"]);
    return why;
  };
  const std::vector<Logged> lines = {{"2024-03-11 10:00:00", "Job `done' terminated"}};
  EXPECT_EQ(missing(status_of(journal(lines), {"--json"})), (std::vector<Json>{nullptr, "no_line"}));
  // The host's journal is hidden: this host keeps none.
  EXPECT_EQ(missing(status({"--json"})), (std::vector<Json>{"no_journal", "no_journal"}));
  EXPECT_EQ(results(status({}).out), (std::map<std::string, std::string>{{"done", "-"}, {"quiet", "-"}}));
  EXPECT_EQ(status({"--failed"}).exit_code(), 0);

  // A journal where journald keeps it, readable by root and the groups adm
  // and systemd-journal only.
  const std::string machine = sandbox::read_file("/etc/machine-id").substr(0, 32);
  if (machine.size() != 32) GTEST_SKIP() << "no /etc/machine-id: the system journal cannot be found";
  const std::string journal_dir = "/var/log/journal/" + machine;
  std::filesystem::create_directories(journal_dir);
  journal(lines, journal_dir + "/system.journal");
  ASSERT_EQ(chmod((journal_dir + "/system.journal").c_str(), 0640), 0);
  EXPECT_EQ(missing(status({"--json"})), (std::vector<Json>{nullptr, "no_line"}));
  EXPECT_EQ(results(status({}).out), (std::map<std::string, std::string>{{"done", "ok"}, {"quiet", "-"}}));

  // Someone else may not read it: the line it could not see might be a
  // failure, so a check of it cannot tell.
  for (const char* job : {"done", "quiet"}) ASSERT_EQ(chmod(stamp_path(job).c_str(), 0644), 0);
  EXPECT_EQ(missing(status_as_nobody({"--json"})),
            (std::vector<Json>{"journal_not_readable", "journal_not_readable"}));
  EXPECT_EQ(status_as_nobody({}).exit_code(), 0);
  EXPECT_EQ(status_as_nobody({"--overdue=5"}).exit_code(), 0);
  EXPECT_EQ(status_as_nobody({"--failed"}).exit_code(), 3);
}

TEST_F(Outcomes, FailedExitStatusOnBothSides) {
  table("1 0 good true\n1 0 bad true\n1 0 never true\n1 0 secret true\n");
  for (const char* job : {"good", "bad", "secret"}) set_stamp(job, "20240311\n");
  for (const char* job : {"good", "bad"}) ASSERT_EQ(chmod(stamp_path(job).c_str(), 0644), 0);
  const std::string file = journal({
      {"2024-03-11 10:00:00", "Job `good' terminated (mailing output)"},
      {"2024-03-11 10:00:01", "Job `bad' terminated (exit status: 1)"},
      {"2024-03-11 10:00:02", "Job `secret' terminated"},
  });
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  const std::string with_file = "--journal-file=" + file;
  const struct {
    Args args;
    int expected;
  } cases[] = {
      {{"good"}, 0},
      {{"--failed", "good"}, 0},
      // No line: nothing recorded against it, and nothing unknown either.
      {{"--failed", "never"}, 0},
      {{"--failed", "good", "never"}, 0},
      {{"bad"}, 0},
      {{"--failed", "bad"}, 2},
      {{"--failed"}, 2},
      {{"--failed", "--json"}, 2},
      {{"--failed", "--prometheus"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = status_of(file, c.args);
    EXPECT_EQ(run.exit_code(), c.expected) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out, "");
  }
  // A stamp that cannot be read makes the check unknown, unless a job fails it.
  const struct {
    Args args;
    int expected;
  } as_nobody[] = {
      {{with_file, "good", "secret"}, 0},
      {{with_file, "--failed", "good", "secret"}, 3},
      {{with_file, "--failed", "bad", "secret"}, 2},
  };
  for (const auto& c : as_nobody) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = status_as_nobody(c.args);
    EXPECT_EQ(run.exit_code(), c.expected) << run.err;
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(Outcomes, FailedCombinesWithOverdue) {
  // late: due since 8 March, 4 days on the 12th, and ran well; bad: waiting.
  table("7 0 late true\n7 0 bad true\n");
  set_stamp("late", "20240301\n");
  set_stamp("bad", "20240311\n");
  const std::string file = journal({
      {"2024-03-01 10:00:00", "Job `late' terminated"},
      {"2024-03-11 10:00:00", "Job `bad' terminated due to signal 11 (mailing output)"},
  });
  const struct {
    Args args;
    int expected;
  } cases[] = {
      {{"--overdue=3", "--failed", "late"}, 2}, {{"--overdue=4", "--failed", "late"}, 0},
      {{"--overdue=4", "--failed", "bad"}, 2},  {{"--overdue=3", "--failed"}, 2},
      {{"--overdue=4", "--failed"}, 2},         {{"--overdue=4"}, 0},
      {{"--failed", "--overdue=3", "bad"}, 2},  {{"--overdue=3", "bad"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(status_of(file, c.args).exit_code(), c.expected);
  }
}

TEST_F(Outcomes, AJournalFileThatCannotBeOpenedIsAnError) {
  table("1 0 job true\n");
  const std::string missing = dir + "/missing.journal";
  sandbox::write_file(dir + "/text.journal", "not a journal\n");
  const struct {
    std::string file;
    std::string err;
  } cases[] = {
      {missing, "lapsero-status: cannot open journal file " + missing + ": No such file or directory\n"},
      {dir, "lapsero-status: cannot open journal file " + dir + ": Is a directory\n"},
      {dir + "/text.journal", "lapsero-status: cannot open journal file " + dir + "/text.journal: "},
  };
  for (const auto& c : cases) {
    for (const Args& more : {Args{}, Args{"--json"}, Args{"--failed", "--prometheus"}}) {
      SCOPED_TRACE(c.file + " " + ::testing::PrintToString(more));
      const auto run = status_of(c.file, more);
      EXPECT_EQ(run.exit_code(), 1);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
      // A failure after the first steps, like any other of them.
      EXPECT_TRUE(run.err.ends_with("\nlapsero-status: Aborted\n")) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
    }
  }

  // A relative path is taken from the start directory, as the table's is,
  // not from the spool.
  journal({{"2024-03-11 10:00:00", "Job `job' terminated"}}, dir + "/relative.journal");
  auto inv = listing_on({"--journal-file=relative.journal"});
  inv.cwd = dir;
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(results(run.out).at("job"), "ok");
}

TEST_F(Outcomes, MetricsParseAsPrometheusReadsThem) {
  if (access(python, X_OK) != 0 || run_program({python, "-c", "import prometheus_client"}).exit_code() != 0)
    GTEST_SKIP() << "no python3-prometheus-client (./dev.sh check installs it)";
  // A name with a double quote, one that is not UTF-8, and a stamp that
  // is a directory.
  table("1 0 fine true\n1 0 say\"hi true\n1 0 bad\xff true\n1 0 dir true\n");
  set_stamp("fine", "20240311\n");
  set_stamp("say\"hi", "20240301\n");
  ASSERT_EQ(mkdir(stamp_path("dir").c_str(), 0700), 0);
  const std::string file = journal({
      {"2024-03-11 10:00:01", "Job `fine' terminated"},
      {"2024-03-11 10:00:02", "Job `say\"hi' terminated (exit status: 3) (mailing output)"},
      {"2024-03-11 10:00:03", "Job `bad\xff' terminated due to signal 9"},
  });
  const auto run = status_of(file, {"--prometheus"});
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  const std::string metrics = dir + "/lapsero.prom";
  sandbox::write_file(metrics, run.out);
  const auto checked = run_program({python, CHECK_METRICS, metrics});
  ASSERT_EQ(checked.exit_code(), 0) << checked.err << run.out;
  EXPECT_EQ(checked.out,
            "lapsero_job_stamp_readable fine 1\n"
            "lapsero_job_stamp_readable say\"hi 1\n"
            "lapsero_job_stamp_readable bad\xef\xbf\xbd 1\n"
            "lapsero_job_stamp_readable dir 0\n"
            "lapsero_job_last_run_timestamp_seconds fine 1710115200\n"
            "lapsero_job_last_run_timestamp_seconds say\"hi 1709251200\n"
            "lapsero_job_next_due_timestamp_seconds fine 1710201600\n"
            "lapsero_job_next_due_timestamp_seconds say\"hi 1710201600\n"
            "lapsero_job_next_due_timestamp_seconds bad\xef\xbf\xbd 1710201600\n"
            "lapsero_job_due fine 1\n"
            "lapsero_job_due say\"hi 1\n"
            "lapsero_job_due bad\xef\xbf\xbd 1\n"
            "lapsero_job_in_progress fine 0\n"
            "lapsero_job_in_progress say\"hi 0\n"
            "lapsero_job_in_progress bad\xef\xbf\xbd 0\n"
            "lapsero_job_due_duration_seconds fine 0\n"
            "lapsero_job_due_duration_seconds say\"hi 864000\n"
            "lapsero_job_due_duration_seconds bad\xef\xbf\xbd 0\n"
            "lapsero_job_last_result_timestamp_seconds fine 1710151201\n"
            "lapsero_job_last_result_timestamp_seconds say\"hi 1710151202\n"
            "lapsero_job_last_result_timestamp_seconds bad\xef\xbf\xbd 1710151203\n"
            "lapsero_job_last_failed fine 0\n"
            "lapsero_job_last_failed say\"hi 1\n"
            "lapsero_job_last_failed bad\xef\xbf\xbd 1\n"
            "lapsero_job_last_exit_status fine 0\n"
            "lapsero_job_last_exit_status say\"hi 3\n"
            "lapsero_job_last_signal bad\xef\xbf\xbd 9\n");
}

TEST_F(Outcomes, PromtoolAcceptsTheMetrics) {
  if (access(promtool, X_OK) != 0)
    GTEST_SKIP() << "no promtool (package prometheus; ./dev.sh check installs it)";
  // Due, waiting, in every state of the journal, a stamp that is a
  // directory, and names that need an escape, look like the format's own
  // syntax, or are not UTF-8.
  table(
      "1 0 due true\n7 0 waiting true\n1 0 failed true\n1 0 killed true\n1 0 quiet true\n1 0 dir true\n"
      "1 0 say\"hi true\n1 0 a{b}=c,d true\n1 0 bad\xff true\n");
  set_stamp("due", "20240301\n");
  set_stamp("waiting", "20240310\n");
  set_stamp("failed", "20240311\n");
  set_stamp("killed", "20240311\n");
  ASSERT_EQ(mkdir(stamp_path("dir").c_str(), 0700), 0);
  const std::string file = journal({
      {"2024-03-10 10:00:01", "Job `waiting' terminated"},
      {"2024-03-11 10:00:02", "Job `failed' terminated (exit status: 3) (mailing output)"},
      {"2024-03-11 10:00:03", "Job `killed' terminated due to signal 9"},
      {"2024-03-11 10:00:04", "Job `say\"hi' terminated abnormally"},
      {"2024-03-11 10:00:05", "Job `bad\xff' terminated"},
  });
  const std::string metrics = dir + "/lapsero.prom";
  const auto run = status_of(file, {"--prometheus", "--output=" + metrics});
  ASSERT_EQ(run.exit_code(), 0) << run.err;
  const auto checked = run_program({"/bin/sh", "-c", std::string(promtool) + " check metrics < " + metrics});
  EXPECT_EQ(checked.exit_code(), 0) << checked.out << checked.err << sandbox::read_file(metrics);
  EXPECT_EQ(checked.out + checked.err, "");
  // The jobs are there to be checked, in the series their states give.
  const std::string text = sandbox::read_file(metrics);
  EXPECT_NE(text.find("lapsero_job_due_duration_seconds{name=\"due\"} 864000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("lapsero_job_last_signal{name=\"killed\"} 9\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace e2e
