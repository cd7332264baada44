// lim07ctl: the command-line front end of the operations.
#include <unistd.h>

#include <iostream>

#include "Commands.h"
#include "Session.h"

int main(int argc, char** argv) {
  InstallInterruptHandler();
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunCli(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
