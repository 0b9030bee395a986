# The sources of lapsero's two libraries, listed once for the main build and
# for the fuzz target, which is a project of its own.
#
# The common library is what both programs share and what only reads: the
# diagnostics, the shared state, the table reader, the calendar, the stamp
# format and the due decision. The scheduler's own library adds everything
# that starts processes or creates, locks and writes stamps: the checked
# process calls, the stamp locks, the run list, the launch, the reaper, the
# signals and control. lapsero-status and the fuzz target link the common
# library alone, so none of that can reach them (a test holds
# lapsero-status to it).
set(LAPSERO_COMMON_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/lapsero.cc
  ${CMAKE_CURRENT_LIST_DIR}/base/diagnostics.cc
  ${CMAKE_CURRENT_LIST_DIR}/base/numbers.cc
  ${CMAKE_CURRENT_LIST_DIR}/base/process_start.cc
  ${CMAKE_CURRENT_LIST_DIR}/table/records.cc
  ${CMAKE_CURRENT_LIST_DIR}/table/reader.cc
  ${CMAKE_CURRENT_LIST_DIR}/table/ownership.cc
  ${CMAKE_CURRENT_LIST_DIR}/schedule/calendar.cc
  ${CMAKE_CURRENT_LIST_DIR}/schedule/stamps.cc
)
set(LAPSERO_SCHEDULER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/base/process_calls.cc
  ${CMAKE_CURRENT_LIST_DIR}/schedule/stamp_locks.cc
  ${CMAKE_CURRENT_LIST_DIR}/schedule/run_list.cc
  ${CMAKE_CURRENT_LIST_DIR}/execution/launch.cc
  ${CMAKE_CURRENT_LIST_DIR}/execution/reaper.cc
  ${CMAKE_CURRENT_LIST_DIR}/execution/signals.cc
  ${CMAKE_CURRENT_LIST_DIR}/control/startup.cc
  ${CMAKE_CURRENT_LIST_DIR}/control/run_sequence.cc
  ${CMAKE_CURRENT_LIST_DIR}/control/run_loop.cc
)
