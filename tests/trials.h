// What the stress runs share: the jobs they run, which record their own
// runs, and today's stamp to compare with.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace trials {

/// "j00", "j01", ...
inline std::string job_name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "j%02d", i);
  return name;
}

/// Today's stamp, as a scheduler started now writes it.
inline std::string today_stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm date{};
  localtime_r(&now, &date);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d\n", &date);
  return text;
}

/// A table of `count` daily jobs that append "start|end PID NAME" (PID is
/// the scheduler's) to `runs` with the shell's >>, which opens it with
/// O_APPEND; `middle` runs in between.
inline std::string table_for(int count, const std::string& runs, const char* middle) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    const std::string name = job_name(i);
    text += "1 0 " + name + " echo start $PPID " + name + " >> " + runs + "; " + middle + "echo end $PPID " +
            name + " >> " + runs + "\n";
  }
  return text;
}

/// One line the jobs appended.
struct Run {
  std::string kind;  ///< start or end
  pid_t pid;         ///< the scheduler's
  std::string job;
};

inline std::vector<Run> read_runs(const std::string& path) {
  std::vector<Run> runs;
  std::istringstream text(sandbox::read_file(path));
  for (std::string line; std::getline(text, line);) {
    std::istringstream fields(line);
    Run run{};
    fields >> run.kind >> run.pid >> run.job;
    runs.push_back(run);
  }
  return runs;
}

}  // namespace trials
