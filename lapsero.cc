// The one definition of every process-wide value that lapsero.h declares.
//
// Gathered here, at the bottom, so that whoever links a subsystem gets the
// state it works on without linking the part of the program that writes it:
// the listing reads the table into the same lists as the scheduler, without
// the scheduler's start-up or run loop. Each value's comment in lapsero.h
// says who writes it and who reads it.

#include "lapsero.h"

RunSettings settings;

const char* mail_charset = "US-ASCII";
int saved_cwd_fd = -1;
mode_t saved_umask;
sigset_t saved_sigmask;
rlimit saved_nofile;

std::time_t start_time;
int start_year;
int start_month;
int start_mday;
int today;
CalendarLengths start_lengths;

JobEntry* job_head = nullptr;
JobEntry* job_tail = nullptr;
EnvSetting* env_head = nullptr;
EnvSetting* env_tail = nullptr;

obstack RecordArena;
obstack LineArena;
int line_number = 0;

JobEntry** run_list = nullptr;
int run_count = 0;

int jobs_running = 0;
int mailers_running = 0;

volatile std::sig_atomic_t got_alarm = 0;
volatile std::sig_atomic_t got_child = 0;
volatile std::sig_atomic_t got_usr1 = 0;
