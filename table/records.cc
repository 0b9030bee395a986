// Job table records, their lists and the two arenas that own them.
//
// Jobs and settings are kept in two singly linked lists in table order. Every
// record and every text kept from the table lives in the RecordArena until
// the process exits; nothing is freed one by one, so references between
// records, the run list and the environment (which keeps the assignment texts
// themselves) stay valid to the end. The LineArena holds only the line being
// parsed.

#include <cstdlib>

#include "base/diagnostics.h"
#include "table/table.h"

#define obstack_chunk_alloc alloc_or_bail
#define obstack_chunk_free std::free

void init_arenas() {
  obstack_init(&LineArena);
  obstack_init(&RecordArena);
}

void reset_lists() {
  job_head = job_tail = nullptr;
  env_head = env_tail = nullptr;
}

void append_job(JobEntry* job) {
  job->next = nullptr;
  if (job_tail)
    job_tail->next = job;
  else
    job_head = job;
  job_tail = job;
  job->last_env = env_tail;
}

void append_setting(EnvSetting* setting) {
  setting->next = nullptr;
  if (env_tail)
    env_tail->next = setting;
  else
    env_head = setting;
  env_tail = setting;
}
