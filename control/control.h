// Control, the top of the program: start-up and the command line, the run
// sequence and the run loop.
#pragma once

// ---------------------------------------------------------------------------
// Command line and start-up (startup.cc)

/// Everything from the first step of main up to the start message.
void start_up(int argc, char** argv);

// ---------------------------------------------------------------------------
// Run sequence (run_sequence.cc) and run loop (run_loop.cc)

/// Reads the table, builds the run list and carries out the chosen mode.
[[noreturn]] void run_sequence();

/// The run mode: announces, starts each job at its moment, waits, exits 0.
[[noreturn]] void run_jobs();
