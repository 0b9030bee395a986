// The end-to-end fixture.

#include "tests/e2e/e2e.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace e2e {

void Lapsero::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir = sandbox::make_scratch_dir(std::string(info->test_suite_name()) + "." + info->name());
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

sandbox::Process Lapsero::lapsero(std::vector<std::string> args) {
  return sandbox::run(invocation(std::move(args)));
}

sandbox::Process Lapsero::lapsero(const sandbox::Invocation& inv) { return sandbox::run(inv); }

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
    mail.input = sandbox::read_file(at_dir + "/stdin");
    found.push_back(std::move(mail));
  }
  return found;
}

}  // namespace e2e
