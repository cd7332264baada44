// lim07ctl-completion: prints the bash completion script of lim07ctl.
#include <iostream>

#include "CliArgs.h"

int main() {
  std::cout << BashCompletionScript();
  return 0;
}
