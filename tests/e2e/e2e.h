// End-to-end tests: run the built lapsero as an administrator would, inside
// the sandbox, and look at its exit status, standard error, syslog entries,
// mails and stamps.
//
// A test writes its table inline (a raw string literal) with table(), runs
// lapsero() with its options, and asserts on what came back. Every test has
// its own scratch directory holding the table, the spool and the mail record.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/sandbox.h"

namespace e2e {

/// The built program under test.
inline constexpr const char lapsero_binary[] = LAPSERO_BINARY;

/// What the fake sendmail recorded of one call.
struct Mail {
  std::vector<std::string> args;  ///< argv[0] included
  std::string cwd;
  std::vector<int> fds;  ///< descriptors open at its start
  std::string input;     ///< all of its standard input
};

/// A date for libfaketime: "@2024-03-12 10:00:00" starts the clock there.
inline std::string at(std::string_view date_time) { return "@" + std::string(date_time); }

class Lapsero : public ::testing::Test {
 protected:
  void SetUp() override;

  std::string dir;         ///< the test's scratch directory
  std::string spool;       ///< dir/spool, made empty
  std::string table_path;  ///< dir/lapserotab
  std::string mail_dir;    ///< where the fake sendmail records

  /// Writes the table file.
  void table(std::string_view text);
  /// An invocation of lapsero with "-t table -S spool" in front of args.
  sandbox::Invocation invocation(std::vector<std::string> args);
  /// Runs lapsero to the end (background mode included).
  sandbox::Process lapsero(std::vector<std::string> args);
  /// Runs lapsero to the end with an invocation changed by the caller.
  sandbox::Process lapsero(const sandbox::Invocation& invocation);

  std::string stamp_path(std::string_view job) const;
  /// The stamp's content, or "<missing>".
  std::string stamp(std::string_view job) const;
  /// Writes a stamp as it stands (no newline added).
  void set_stamp(std::string_view job, std::string_view content);
  /// Every mail the fake sendmail received, in the order received.
  std::vector<Mail> mails() const;
};

}  // namespace e2e
