// lapsero-status end to end: the listing of a spool as an administrator sees
// it, in columns and in JSON; a job held by a running scheduler; a spool
// that must come out exactly as it went in; table problems, stamps another
// user cannot read, names that select nothing, jobs that never ran, and the
// exit statuses a monitoring system relies on. The host's journal is hidden
// from these listings (tests/e2e/status_journal_test.cc reads journals).
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace e2e {
namespace {

using Args = std::vector<std::string>;
using Json = nlohmann::json;

/// The rows of a listing under its header, by job name.
std::map<std::string, Lines> rows(const std::string& out) {
  std::map<std::string, Lines> found;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    Lines fields = columns(line);
    found[fields[0]] = fields;
  }
  return found;
}

/// Sets a file's modification time to noon of the date, in UTC, the
/// sandbox's time zone.
void changed_on(const std::string& path, std::chrono::year_month_day date) {
  const auto noon = std::chrono::sys_days(date) + std::chrono::hours(12);
  const timespec times[2] = {
      {0, UTIME_OMIT},
      {std::chrono::duration_cast<std::chrono::seconds>(noon.time_since_epoch()).count(), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

/// The job names of a listing, in its order, under its header.
Lines names(const std::string& out) {
  Lines listed;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(columns(line)[0], "JOB");
  while (std::getline(lines, line)) listed.push_back(columns(line)[0]);
  return listed;
}

class Listing : public Watched {
 protected:
  // Whatever journal the host keeps, the listing finds none; a test that
  // wants one gives a file of its own.
  void SetUp() override {
    Watched::SetUp();
    hide_system_journal();
  }
  void TearDown() override { show_system_journal(); }

  /// lapsero-status on the date, run to its end.
  sandbox::Process status(Args args, std::string_view date = fixed_date) {
    return lapsero(listing_on(std::move(args), date));
  }

  /// The same while a scheduler the test started is still running: its end
  /// is waited for alone, never that of everything the test started.
  sandbox::Process status_beside(Args args) {
    auto inv = listing_on(std::move(args));
    auto process = sandbox::start(inv);
    EXPECT_TRUE(sandbox::wait_until(
        process, [](const sandbox::Process& p) { return p.ended && p.out_fd < 0 && p.err_fd < 0; }));
    return process;
  }

  /// lapsero-status on the fixed date as user nobody, who cannot read
  /// root's stamps of mode 0600.
  sandbox::Process status_as_nobody(Args args) {
    return lapsero(as_nobody(status_invocation(std::move(args))));
  }

  /// A table of every kind of period, and stamps of every kind, judged on
  /// 2024-03-12.
  void every_kind() {
    table(
        "1 5 daily true\n7 10 weekly true\n@monthly 15 monthly true\n@yearly 0 yearly true\n"
        "36500 0 dormant true\n1 0 never true\n7 0 odd true\n");
    set_stamp("daily", "20240301\n");
    set_stamp("weekly", "20240310\n");
    set_stamp("monthly", "20240201\n");
    set_stamp("yearly", "20230312\n");
    set_stamp("dormant", "20240305\n");
    set_stamp("odd", "abcdefgh\n");
  }
};

TEST_F(Listing, ShowsEachJobInTableOrder) {
  every_kind();
  const auto run = status({});
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(run.err, "");
  // 1 March + 1 day: due since the 2nd. February 2024 has 29 days, so the
  // monthly job is due since 1 March; 2023 had 365, so the yearly one since
  // 11 March. 100 years of 365 days, 24 leap days short of 2124-03-05.
  EXPECT_EQ(run.out,
            "JOB      PERIOD    DELAY   LAST RUN    LAST RESULT  NEXT DUE    STATE\n"
            "daily    1         5 min   2024-03-01  -            2024-03-12  due for 10 days\n"
            "weekly   7         10 min  2024-03-10  -            2024-03-17  waiting, in 5 days\n"
            "monthly  @monthly  15 min  2024-02-01  -            2024-03-12  due for 11 days\n"
            "yearly   @yearly   0 min   2023-03-12  -            2024-03-12  due for 1 day\n"
            "dormant  36500     0 min   2024-03-05  -            2124-02-10  waiting, in 36493 days\n"
            "never    1         0 min   never       -            2024-03-12  due\n"
            "odd      7         0 min   invalid     -            2024-03-12  due\n");
  EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
}

TEST_F(Listing, OperandsSelectJobsAsTheSchedulersDo) {
  every_kind();
  const struct {
    Args args;
    Lines jobs;
  } cases[] = {
      {{"weekly", "m*"}, {"weekly", "monthly"}},
      // Each name selects a job, though the first one took it.
      {{"*ly", "daily"}, {"daily", "weekly", "monthly", "yearly"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = status(c.args);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(names(run.out), c.jobs);
  }
}

TEST_F(Listing, NameThatSelectsNoJobIsAnError) {
  every_kind();
  const struct {
    Args args;
    std::string err;
    Lines jobs;
  } cases[] = {
      {{"nosuchjob"}, "lapsero-status: no job matches `nosuchjob'\n", {}},
      {{"weekly", "dialy", "m*", "x*"},
       "lapsero-status: no job matches `dialy'\nlapsero-status: no job matches `x*'\n",
       {"weekly", "monthly"}},
      {{"--json", "never", "nosuchjob"}, "lapsero-status: no job matches `nosuchjob'\n", {"never"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = status(c.args);
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
    // The others are listed all the same.
    Lines listed;
    if (c.args[0] == "--json") {
      for (const auto& job : Json::parse(run.out)) listed.push_back(job["name"]);
    } else {
      listed = names(run.out);
    }
    EXPECT_EQ(listed, c.jobs);
  }
  // An overdue job still says more than the misspelt name.
  EXPECT_EQ(status({"--overdue=3", "daily", "nosuchjob"}).exit_code(), 2);
  // Without names every job is selected: a table without any (the one a
  // package installs) lists nothing, and that is no error.
  table("# 1 5 daily.scripts run-parts /etc/cron.daily\nPATH=/bin\n");
  const auto empty = status({});
  EXPECT_EQ(empty.exit_code(), 0) << empty.err;
  EXPECT_EQ(empty.err, "");
}

TEST_F(Listing, JsonHoldsTheSameFactsAsTheColumns) {
  every_kind();
  const auto human = status({});
  const auto json = status({"--json"});
  ASSERT_EQ(json.exit_code(), 0) << json.err;
  Json listing;
  ASSERT_NO_THROW(listing = Json::parse(json.out)) << json.out;
  ASSERT_TRUE(listing.is_array());
  const auto shown = rows(human.out);
  ASSERT_EQ(listing.size(), shown.size());
  for (const auto& job : listing) {
    SCOPED_TRACE(job.dump());
    const Lines& row = shown.at(job["name"].get<std::string>());
    EXPECT_EQ(job["period"], row[1]);
    EXPECT_EQ(std::to_string(job["delay_minutes"].get<int>()) + " min", row[2]);
    EXPECT_EQ(job["command"], "true");
    EXPECT_EQ(
        job["last_run"].is_null() ? job["stamp"].get<std::string>() : job["last_run"].get<std::string>(),
        row[3]);
    EXPECT_EQ(job["last_result"], nullptr);
    EXPECT_EQ(job["last_result_missing"], "no_journal");
    EXPECT_EQ(row[4], "-");
    EXPECT_EQ(job["next_due"], row[5]);
    const std::string state = job["state"];
    const int days = job["days"];
    if (state == "due") {
      EXPECT_EQ(days ? "due for " + std::to_string(days) + (days == 1 ? " day" : " days") : "due", row[6]);
    } else {
      EXPECT_EQ(state, "waiting");
      EXPECT_EQ("waiting, in " + std::to_string(days) + " days", row[6]);
    }
    EXPECT_TRUE(job["lock_pid"].is_null());
    EXPECT_TRUE(job["reason"].is_null());
  }
  // One object written out in full, so that the field names stay put.
  EXPECT_EQ(listing[2], Json::parse(R"({"name": "monthly", "period": "@monthly", "delay_minutes": 15,
      "command": "true", "last_run": "2024-02-01", "stamp": "date", "next_due": "2024-03-12",
      "state": "due", "days": 11, "lock_pid": null, "lock_elsewhere": false, "reason": null, "last_result": null,
      "last_result_missing": "no_journal"})"));
  EXPECT_EQ(listing[6]["stamp"], "invalid");
  EXPECT_EQ(listing[5]["stamp"], "never");
}

TEST_F(Listing, JsonOfBytesThatAreNotUtf8StillParses) {
  table("1 0 bad\xff.name echo \xc3( \xe2\x82\n");
  const auto run = status({"--json"});
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  Json listing;
  ASSERT_NO_THROW(listing = Json::parse(run.out)) << run.out;
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0]["name"], "bad\xef\xbf\xbd.name");
  EXPECT_EQ(listing[0]["state"], "due");
}

TEST_F(Listing, ColumnsFollowTheCallersCharacterSet) {
  // Seven bytes in five columns, six bytes in four, a C1 control character
  // as UTF-8 and as a lone byte.
  table("1 0 grüße true\n1 0 備份 true\n1 0 csi\302\2332J true\n1 0 raw\2332J true\n");
  auto utf8 = listing_on({});
  utf8.env["LANG"] = "C.UTF-8";
  const auto run = lapsero(utf8);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(run.out,
            "JOB     PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "grüße   1       0 min  never     -            2024-03-12  due\n"
            "備份    1       0 min  never     -            2024-03-12  due\n"
            "csi?2J  1       0 min  never     -            2024-03-12  due\n"
            "raw?2J  1       0 min  never     -            2024-03-12  due\n");

  // Without a locale only ASCII is a character.
  const auto plain = status({});
  EXPECT_EQ(plain.exit_code(), 0) << plain.err;
  EXPECT_EQ(plain.out,
            "JOB      PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "gr????e  1       0 min  never     -            2024-03-12  due\n"
            "??????   1       0 min  never     -            2024-03-12  due\n"
            "csi??2J  1       0 min  never     -            2024-03-12  due\n"
            "raw?2J   1       0 min  never     -            2024-03-12  due\n");

  // The JSON does not depend on the locale.
  auto json = listing_on({"--json"});
  json.env["LANG"] = "C.UTF-8";
  const auto json_run = lapsero(json);
  EXPECT_EQ(json_run.out, status({"--json"}).out);
  EXPECT_EQ(Json::parse(json_run.out)[0]["name"], "grüße");
}

TEST_F(Listing, NamesMatchAsTheSchedulerMatchesThemWhateverTheLocale) {
  // lapsero matches byte by byte, in the C locale: "?" is one byte, and
  // "ü" is two.
  table("1 0 grüße true\n");
  for (const char* lang : {"C.UTF-8", ""}) {
    SCOPED_TRACE(lang);
    auto bytes = listing_on({"gr????e"});
    auto characters = listing_on({"gr??e"});
    if (*lang) bytes.env["LANG"] = characters.env["LANG"] = lang;
    EXPECT_EQ(lapsero(bytes).exit_code(), 0);
    const auto unmatched = lapsero(characters);
    EXPECT_EQ(unmatched.exit_code(), 1);
    EXPECT_EQ(unmatched.err, "lapsero-status: no job matches `gr??e'\n");
  }
  for (const char* pattern : {"gr????e", "gr??e"}) {
    auto run = on_date({"-d", "-f", "-n", pattern});
    run.env["LANG"] = "C.UTF-8";
    const auto ran = lapsero(run);
    EXPECT_EQ(logged(ran, "Job `grüße' started"), std::string(pattern) == "gr????e") << pattern;
  }
}

TEST_F(Listing, JobHeldByARunningSchedulerIsInProgress) {
  // One job runs until the gate opens; the other waits out its delay. Both
  // hold their locks meanwhile.
  table("1 0 running " + wait_at_gate() + "\n1 5 later true\n");
  auto run = sandbox::start(on_date({"-d"}));
  await(run, "Job `running' started");

  auto human = status_beside({});
  auto json = status_beside({"--json"});
  open_gate(run);
  await(run, "Job `running' terminated");
  request_stop(run);
  finish(run);

  const std::string held = "in progress (pid " + std::to_string(run.pid) + ")\n";
  EXPECT_EQ(human.exit_code(), 0) << human.err;
  // The scheduler created both stamps empty at its due test.
  EXPECT_EQ(human.out,
            "JOB      PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "running  1       0 min  never     -            2024-03-12  " +
                held + "later    1       5 min  never     -            2024-03-12  " + held);
  EXPECT_TRUE(human.log.empty()) << ::testing::PrintToString(sandbox::texts(human.log));
  ASSERT_EQ(json.exit_code(), 0) << json.err;
  const Json listing = Json::parse(json.out);
  for (const auto& job : listing) {
    EXPECT_EQ(job["state"], "in progress");
    EXPECT_EQ(job["lock_pid"], run.pid);
    EXPECT_EQ(job["lock_elsewhere"], false);
    EXPECT_TRUE(job["days"].is_null());
  }

  // The run went on as if nobody had looked.
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(sandbox::texts(run.log),
            (std::vector<std::string>{started, "Will run job `running' in 0 min.",
                                      "Will run job `later' in 5 min.", "Job `running' started",
                                      "Job `running' terminated", "Received SIGUSR1", "Exited"}));
  EXPECT_EQ(stamp("running"), stamped);
  EXPECT_EQ(stamp("later"), "");
}

/// Everything about a directory entry that a listing could change.
struct EntryState {
  std::string name;
  std::string content;  // of a regular file
  off_t size = 0;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  timespec mtime{};
  timespec atime{};
  bool operator==(const EntryState& o) const {
    return name == o.name && content == o.content && size == o.size && mode == o.mode && uid == o.uid &&
           gid == o.gid && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           atime.tv_sec == o.atime.tv_sec && atime.tv_nsec == o.atime.tv_nsec;
  }
};

std::ostream& operator<<(std::ostream& out, const EntryState& e) {
  return out << e.name << " size " << e.size << " mode " << std::oct << e.mode << std::dec << " owner "
             << e.uid << ":" << e.gid << " mtime " << e.mtime.tv_sec << "." << e.mtime.tv_nsec << " atime "
             << e.atime.tv_sec << "." << e.atime.tv_nsec;
}

std::vector<EntryState> spool_state(const std::string& spool) {
  std::vector<EntryState> found;
  for (const auto& entry : std::filesystem::directory_iterator(spool)) {
    struct stat st {};
    EXPECT_EQ(lstat(entry.path().c_str(), &st), 0);
    EntryState e;
    e.name = entry.path().filename();
    // Read without touching the access time, which is compared too.
    const int fd = S_ISREG(st.st_mode) ? open(entry.path().c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC) : -1;
    char buffer[64];
    for (ssize_t got; fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0;)
      e.content.append(buffer, static_cast<std::size_t>(got));
    if (fd >= 0) close(fd);
    e.size = st.st_size;
    e.mode = st.st_mode;
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    e.mtime = st.st_mtim;
    e.atime = st.st_atim;
    found.push_back(e);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return found;
}

TEST_F(Listing, NothingInTheSpoolChanges) {
  table(
      "1 0 dated true\n1 0 never.ran true\n1 0 empty true\n1 0 foreign true\n1 0 link true\n"
      "1 0 fifo true\n1 0 directory true\n@monthly 0 garbage true\n");
  set_stamp("dated", "20240301\n");
  set_stamp("empty", "");
  set_stamp("garbage", "abcdefghij");
  set_stamp("foreign", "20240311\n");
  ASSERT_EQ(chmod(stamp_path("foreign").c_str(), 0644), 0);
  ASSERT_EQ(chown(stamp_path("foreign").c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink((dir + "/lapserotab").c_str(), stamp_path("link").c_str()), 0);
  ASSERT_EQ(mkfifo(stamp_path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(stamp_path("directory").c_str(), 0700), 0);
  // Access times older than the modification times: a read that kept its
  // access time out of date would still have to change it.
  for (const char* job : {"dated", "empty", "garbage", "foreign"}) {
    const timespec times[2] = {{1000000000, 0}, {UTIME_OMIT, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, stamp_path(job).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }
  const auto before = spool_state(spool);

  for (const Args& args : {Args{}, Args{"--json"}, Args{"--overdue=0"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const auto run = status(args);
    EXPECT_NE(run.exit_code(), 1) << run.err;
    EXPECT_EQ(spool_state(spool), before);
  }
  EXPECT_FALSE(sandbox::exists(stamp_path("never.ran")));

  const auto shown = rows(status({}).out);
  EXPECT_EQ(shown.at("link")[6], "unknown (Too many levels of symbolic links)");
  EXPECT_EQ(shown.at("fifo")[6], "unknown (Is a FIFO, not a regular file)");
  EXPECT_EQ(shown.at("directory")[6], "unknown (Is a directory)");
  EXPECT_EQ(shown.at("empty")[3], "never");
  EXPECT_EQ(shown.at("garbage")[3], "invalid");
  EXPECT_EQ(shown.at("foreign")[3], "2024-03-11");
}

TEST_F(Listing, AStampThatChangesUnderTheProbeIsReportedAsItIs) {
  table("1 0 swapped true\n1 0 plain true\n");
  set_stamp("swapped", "20240311\n");
  set_stamp("plain", "20240311\n");
  // Without libfaketime, which would want LD_PRELOAD too: the states
  // below do not depend on the date.
  const struct {
    const char* variable;
    const char* value;
    const char* job;
    const char* state;
  } cases[] = {
      // Replaced by a directory after the first look, before the open.
      {"LAPSERO_TEST_DIRECTORY_AT_OPEN", "swapped", "swapped", "unknown (Is a directory)"},
      // The second look itself fails.
      {"LAPSERO_TEST_FSTAT_ERROR", "5:plain", "plain", "unknown (Input/output error)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable);
    auto inv = status_invocation({});
    inv.env["LD_PRELOAD"] = FAULT_INJECT_LIBRARY;
    inv.env[c.variable] = c.value;
    const auto run = lapsero(inv);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(rows(run.out).at(c.job).at(6), c.state) << run.out;
  }
}

TEST_F(Listing, TableProblemsGoToStandardErrorOnly) {
  table("1 0 good true\nbad line\n@daily 0 unknown true\n");
  const auto run = status({});
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.err, "lapsero-status: Invalid syntax in " + table_path + " on line 2 - skipping this line\n" +
                         "lapsero-status: " + table_path + ": Unknown named period on line 3, skipping\n");
  EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
  // The lines lapsero would still run are listed.
  EXPECT_EQ(rows(run.out).size(), 1u);
  EXPECT_EQ(rows(run.out).count("good"), 1u);
}

TEST_F(Listing, TableOrSpoolThatCannotBeReadEndsTheListing) {
  // In lapsero's words: a spool directory it cannot enter is one line, as
  // lapsero cannot enter it before it knows its own process; a table it
  // cannot open is followed by "Aborted".
  const std::string missing = dir + "/missing", plain = dir + "/plain";
  sandbox::write_file(plain, "");
  const struct {
    const char* what;
    Args args;
    std::string err;
  } cases[] = {
      {"no table",
       {"-t", missing},
       "lapsero-status: Error opening " + missing + ": No such file or directory\nlapsero-status: Aborted\n"},
      {"no spool",
       {"-S", missing},
       "lapsero-status: Can't chdir to " + missing + ": No such file or directory\n"},
      {"a file as spool", {"-S", plain}, "lapsero-status: Can't chdir to " + plain + ": Not a directory\n"},
      {"neither",
       {"-t", missing, "-S", missing},
       "lapsero-status: Can't chdir to " + missing + ": No such file or directory\n"},
  };
  table("1 0 job true\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto run = status(c.args);
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
    // The same lines as lapsero's own check of the table, under its name.
    auto check = invocation({"-T"});
    check.argv.insert(check.argv.end(), c.args.begin(), c.args.end());
    const auto scheduler = lapsero(check);
    EXPECT_EQ(scheduler.exit_code(), 1);
    std::string in_lapseros_name = run.err;
    for (std::size_t at; (at = in_lapseros_name.find("lapsero-status: ")) != std::string::npos;)
      in_lapseros_name.replace(at, 16, "lapsero: ");
    EXPECT_EQ(scheduler.err, in_lapseros_name);
  }
}

TEST_F(Listing, StartDirectoryThatCannotBeOpenedIsOneLine) {
  // Root reads any directory, so the listing runs without the two
  // capabilities that let it; the directory can be entered but not read.
  const std::string start = dir + "/closed";
  ASSERT_EQ(mkdir(start.c_str(), 0311), 0);
  table("1 0 job true\n");
  auto inv = status_invocation({});
  inv.argv.insert(inv.argv.begin(), {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search"});
  inv.cwd = start;
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "lapsero-status: Can't save current directory: Permission denied\n");
  EXPECT_TRUE(run.log.empty()) << ::testing::PrintToString(sandbox::texts(run.log));
}

TEST_F(Listing, StampsAnotherUserCannotReadAreUnknown) {
  table("1 0 secret true\n1 0 never true\n");
  set_stamp("secret", "20240301\n");  // mode 0600, root's
  for (const Args& args : {Args{}, Args{"--json"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const auto run = status_as_nobody(args);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    if (args.empty()) {
      EXPECT_EQ(run.out,
                "JOB     PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
                "secret  1       0 min  -         -            -           unknown (Permission denied)\n"
                "never   1       0 min  never     -            2024-03-12  due\n");
    } else {
      const Json listing = Json::parse(run.out);
      EXPECT_EQ(listing[0]["state"], "unknown");
      EXPECT_EQ(listing[0]["reason"], "Permission denied");
      EXPECT_EQ(listing[0]["stamp"], "unreadable");
      EXPECT_TRUE(listing[0]["last_run"].is_null());
      EXPECT_TRUE(listing[0]["next_due"].is_null());
    }
  }
  EXPECT_EQ(stamp("secret"), "20240301\n");
  EXPECT_FALSE(sandbox::exists(stamp_path("never")));
}

TEST_F(Listing, ACheckThatCannotSeeAJobIsUnknown) {
  table("1 0 secret true\n1 0 seen true\n");
  set_stamp("secret", "20240301\n");  // mode 0600, root's
  set_stamp("seen", "20240311\n");
  ASSERT_EQ(chmod(stamp_path("seen").c_str(), 0644), 0);
  const struct {
    Args args;
    int expected;
  } cases[] = {
      {{"--overdue=5"}, 3},
      {{"--overdue=5", "--json"}, 3},
      {{"--overdue=5", "seen"}, 0},
      // A name that selects nothing says less than a job that cannot be seen.
      {{"--overdue=5", "secret", "nosuchjob"}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(status_as_nobody(c.args).exit_code(), c.expected);
  }
  // Due for 10 days: an overdue job says more than one that cannot be seen.
  set_stamp("seen", "20240301\n");
  ASSERT_EQ(chmod(stamp_path("seen").c_str(), 0644), 0);
  const auto run = status_as_nobody({"--overdue=5"});
  EXPECT_EQ(run.exit_code(), 2) << run.err;
  EXPECT_EQ(rows(run.out).at("seen")[6], "due for 10 days");
}

TEST_F(Listing, OverdueExitStatusOnBothSidesOfTheLimit) {
  // Due since 8 March: 4 days on the 12th.
  table("7 0 weekly true\n7 0 waiting true\n1 0 never true\n");
  set_stamp("weekly", "20240301\n");
  set_stamp("waiting", "20240311\n");
  const struct {
    Args args;
    int expected;
  } cases[] = {
      {{}, 0},
      {{"--overdue=3"}, 2},
      {{"--overdue=4"}, 0},
      {{"--overdue=0", "--json"}, 2},
      {{"--overdue", "5"}, 0},
      {{"--overdue=3", "never", "waiting"}, 0},
      {{"--overdue=3", "w*"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = status(c.args);
    EXPECT_EQ(run.exit_code(), c.expected) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out, "");
  }
  // The overdue job outranks a table problem: a check is never quieter
  // than the worst it saw.
  table("7 0 weekly true\nbad\n");
  const auto run = status({"--overdue=0"});
  EXPECT_EQ(run.exit_code(), 2);
  EXPECT_EQ(run.err, "lapsero-status: Invalid syntax in " + table_path + " on line 2 - skipping this line\n");
  EXPECT_EQ(status({"--overdue=4"}).exit_code(), 1);
}

TEST_F(Listing, NeverRunJobIsDueSinceItsStampOrTheTableChanged) {
  using namespace std::chrono;
  // The scheduler creates an empty stamp at the first due test and writes
  // the date when the job has ended: until then the stamp holds no date.
  // Judged on 2024-03-12.
  table("1 0 empty true\n7 0 garbage true\n1 0 ahead true\n1 0 missing true\n");
  set_stamp("empty", "");
  changed_on(stamp_path("empty"), 2024y / March / 1);
  set_stamp("garbage", "2024-3-5\n");
  changed_on(stamp_path("garbage"), 2024y / March / 5);
  set_stamp("ahead", "");
  changed_on(stamp_path("ahead"), 2024y / March / 20);
  changed_on(table_path, 2024y / February / 10);

  const auto run = status({});
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  EXPECT_EQ(run.out,
            "JOB      PERIOD  DELAY  LAST RUN  LAST RESULT  NEXT DUE    STATE\n"
            "empty    1       0 min  never     -            2024-03-12  due for 11 days\n"
            "garbage  7       0 min  invalid   -            2024-03-12  due for 7 days\n"
            "ahead    1       0 min  never     -            2024-03-12  due\n"
            "missing  1       0 min  never     -            2024-03-12  due for 31 days\n");
  const auto json = Json::parse(status({"--json"}).out);
  EXPECT_EQ(json[0]["days"], 11);
  EXPECT_EQ(json[3]["days"], 31);

  const struct {
    Args args;
    int expected;
  } cases[] = {
      {{"--overdue=10", "empty"}, 2},   {{"--overdue=11", "empty"}, 0}, {{"--overdue=6", "garbage"}, 2},
      {{"--overdue=7", "garbage"}, 0},  {{"--overdue=0", "ahead"}, 0},  {{"--overdue=30", "missing"}, 2},
      {{"--overdue=31", "missing"}, 0}, {{"--overdue=31"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto checked = status(c.args);
    EXPECT_EQ(checked.exit_code(), c.expected) << checked.err;
  }
}

// On a full spool the scheduler makes the stamp at the first due test, runs
// the job and fails to write the date, at every start; each failed write
// moves the stamp's change time on. The job counts as due since the stamp
// was made, not since the last attempt, so the check does not stay green.
TEST_F(Listing, JobWhoseStampCannotBeWrittenCountsFromTheFirstAttempt) {
  table("1 0 full true\n");
  // A spool of one page, filled.
  ASSERT_EQ(mount("tmpfs", spool.c_str(), "tmpfs", 0, "size=4k,mode=0755"), 0);
  sandbox::write_file(spool + "/filler", std::string(4096, 'x'));
  const auto failed = lapsero(invocation({"-d"}));
  EXPECT_EQ(failed.exit_code(), 1);
  EXPECT_TRUE(logged(failed, "Can't write timestamp file for job full: No space left on device"))
      << ::testing::PrintToString(sandbox::texts(failed.log));
  EXPECT_EQ(stamp("full"), "");
  struct statx born {};
  if (statx(AT_FDCWD, stamp_path("full").c_str(), 0, STATX_BTIME, &born) != 0 ||
      !(born.stx_mask & STATX_BTIME)) {
    umount2(spool.c_str(), MNT_DETACH);
    GTEST_SKIP() << "the scratch file system keeps no birth time";
  }
  // Another start failed the same way five days later.
  const auto later = std::chrono::system_clock::now() + std::chrono::days(5);
  const timespec times[2] = {
      {0, UTIME_OMIT},
      {std::chrono::duration_cast<std::chrono::seconds>(later.time_since_epoch()).count(), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, stamp_path("full").c_str(), times, 0), 0);

  // Ten days after the first attempt.
  auto inv = status_invocation({"--json", "--overdue=7"});
  inv.faketime = "+10d";
  inv.env["NO_FAKE_STAT"] = "1";
  const auto checked = lapsero(inv);
  umount2(spool.c_str(), MNT_DETACH);
  EXPECT_EQ(checked.exit_code(), 2) << checked.err;
  const auto json = Json::parse(checked.out);
  EXPECT_EQ(json[0]["stamp"], "never");
  EXPECT_EQ(json[0]["days"], 10);
}

TEST_F(Listing, JobWithoutAStampCountsFromTheTableItWasReadFrom) {
  using namespace std::chrono;
  // A relative table path is taken from the start directory; a file of the
  // same name in the spool, the working directory by then, is not the table.
  table("1 0 missing true\n");
  changed_on(table_path, 2024y / March / 2);
  sandbox::write_file(spool + "/lapserotab", "1 0 other true\n");
  changed_on(spool + "/lapserotab", 2024y / January / 2);
  auto inv = listing_on({"--json"});
  inv.argv[2] = "lapserotab";
  inv.cwd = dir;
  const auto run = lapsero(inv);
  EXPECT_EQ(run.exit_code(), 0) << run.err;
  const auto listing = Json::parse(run.out);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0]["days"], 10);
}

TEST_F(Listing, DaysDueAreExactFarBeyondTheSearch) {
  using namespace std::chrono;
  // Run on 2026-12-09 a day after 1 January 1600: due since 2 January 1600.
  table("1 0 ancient true\n");
  set_stamp("ancient", "16000101\n");
  const auto expected = (sys_days(2026y / December / 9) - sys_days(1600y / January / 2)).count();
  ASSERT_EQ(expected, 155935);

  const auto json = status({"--json", "--overdue=150000"}, "2026-12-09 10:00:00");
  EXPECT_EQ(json.exit_code(), 2) << json.err;
  const auto listing = Json::parse(json.out);
  EXPECT_EQ(listing[0]["days"], expected);
  EXPECT_EQ(listing[0]["last_run"], "1600-01-01");
  const auto human = status({"--overdue=155935"}, "2026-12-09 10:00:00");
  EXPECT_EQ(human.exit_code(), 0) << human.err;
  EXPECT_EQ(rows(human.out).at("ancient")[6], "due for 155935 days");
}

TEST_F(Listing, UsageErrorsHelpAndVersion) {
  table("1 0 job true\n");
  const struct {
    Args args;
    int exit_code;
    std::string err;
  } errors[] = {
      {{"--bogus"}, 1, "lapsero-status: invalid option: --bogus\n"},
      {{"-x"}, 1, "lapsero-status: invalid option: -x\n"},
      {{"--overdue=soon"}, 1, "lapsero-status: invalid number of days: soon\n"},
      {{"--overdue=-1"}, 1, "lapsero-status: invalid number of days: -1\n"},
      {{"--overdue=2147483648"}, 1, "lapsero-status: invalid number of days: 2147483648\n"},
      {{"--overdue"}, 1, "lapsero-status: invalid option: --overdue\n"},
      {{"--journal-file"}, 1, "lapsero-status: invalid option: --journal-file\n"},
      {{"--failed=yes"}, 1, "lapsero-status: invalid option: --failed=yes\n"},
      {{"--json", "--prometheus"}, 1, "lapsero-status: conflicting options: --json and --prometheus\n"},
      {{"--output"}, 1, "lapsero-status: invalid option: --output\n"},
      {{"--lint", "--output=hints"}, 1, "lapsero-status: option not taken with --lint: --output\n"},
  };
  for (const auto& c : errors) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const auto run = status(c.args);
    EXPECT_EQ(run.exit_code(), c.exit_code);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err + "type: `lapsero-status --help' for more information\n");
  }
  for (const char* help : {"--help", "-h"}) {
    const auto run = status({help, "--bogus"});
    EXPECT_EQ(run.exit_code(), 0);
    EXPECT_EQ(run.out.rfind("Usage:  lapsero-status [-t lapserotab] [-S spooldir] [--json | --prometheus] "
                            "[--overdue=DAYS]\n                       [--failed] [--journal-file=FILE] "
                            "[--output=FILE] [job] ...\n",
                            0),
              0u)
        << run.out;
  }
  for (const char* version : {"--version", "-V"}) {
    const auto run = status({version});
    EXPECT_EQ(run.exit_code(), 0);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "lapsero-status (Lapsero) " LAPSERO_VERSION);
  }
}

}  // namespace
}  // namespace e2e
