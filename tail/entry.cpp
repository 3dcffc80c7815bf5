// The program entry: start-up builds the arguments and the environment and
// calls the tail command.
#include "runtime/startup/start.h"
#include "tail/tail.h"

int main() { rt::process_entry(tail::main); }
