// The mail header a job's output file starts with.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <string>

#include "execution/execution.h"

namespace {

std::string header_bytes(const MailHeader& header, std::int64_t* size) {
  const int fd = memfd_create("header", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  write_header(fd, header);
  *size = output_size(fd);
  std::string bytes(static_cast<std::size_t>(*size), '\0');
  EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  close(fd);
  return bytes;
}

TEST(WriteHeader, FiveLinesByteForByte) {
  struct Case {
    MailHeader header;
    std::string expected;
  };
  const Case cases[] = {
      {{"root", "ops@example.org", "daily-backup", "host1", "UTF-8"},
       "From: Lapsero <root>\n"
       "To: ops@example.org\n"
       "Subject: Lapsero job 'daily-backup' on host1\n"
       "Content-Type: text/plain; charset=UTF-8\n"
       "\n"},
      // An empty recipient stays empty; nothing is quoted or encoded.
      {{"op", "", "50%'s", "unknown machine", "US-ASCII"},
       "From: Lapsero <op>\n"
       "To: \n"
       "Subject: Lapsero job '50%'s' on unknown machine\n"
       "Content-Type: text/plain; charset=US-ASCII\n"
       "\n"},
  };
  for (const Case& c : cases) {
    std::int64_t size = 0;
    EXPECT_EQ(header_bytes(c.header, &size), c.expected);
    EXPECT_EQ(size, static_cast<std::int64_t>(c.expected.size()));
  }
}

}  // namespace
