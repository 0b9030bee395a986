// The lapsero program: start-up, then the run sequence, which ends the process.

#include "control/control.h"

int main(int argc, char** argv) {
  start_up(argc, argv);
  run_sequence();
}
