// updater: applies a staged update of the Corvan application in its own directory.
#include "update_run.h"

int main() { return updater::run_update(); }
