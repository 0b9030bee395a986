// What both fuzz targets need to read a table: a silent system log, and the
// reader fed from memory.
//
// syslog, openlog and closelog are defined in fuzz_support.cc, which takes
// precedence over the system library's, so that no message of the millions
// a target produces reaches the host's system log. The replacement formats
// every message, so the sanitizers still see each argument handed over.
// This is chosen over entering the test sandbox because a target then needs
// neither root nor a mount namespace, and no socket has to be drained on
// every input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "table/table.h"

/// Messages that reached the replacement syslog: a target's initializer
/// checks that its diagnostics come here.
extern std::size_t messages_logged;

/// Keeps the diagnostics off standard error, and reads tables as
/// "fuzz-table" with the job patterns given.
void set_up_table_reading(char** patterns, int count);

/// Reads the bytes as a table, by the same read_table as load_table reads a
/// file, from a memory stream of exactly their size, so that a read past
/// them is caught, and without changing the working directory.
void read_table_bytes(const std::uint8_t* data, std::size_t size, LineObserver observer = nullptr,
                      void* context = nullptr);

/// Releases both arenas and empties the lists, so that LeakSanitizer judges
/// the reader and not the harness.
void release_table();
