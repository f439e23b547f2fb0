// INBUILD: builds one Job of the job file INPUT from a spectropolarimeter's
// two-column ASCII data file, asking the user for the rest.
#include <exception>
#include <iostream>

#include "frame/platform.hpp"
#include "inbuild/dialogue.hpp"

int main() {
  cdsec::os::binary_console_output();
  try {
    return cdsec::inbuild::run(std::cin, std::cout, ".");
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "INBUILD: " << e.what() << '\n';
    return 1;
  }
}
