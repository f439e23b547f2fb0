#include "frame/console.hpp"

#include <iostream>
#include <string>

#include "frame/layout.hpp"

namespace cdsec {

void wait_for_enter() {
  std::cout.flush();
  std::string line;
  std::getline(std::cin, line);  // end of input returns at once
}

void report_stop(std::ostream* report, std::string_view program, std::string_view message) {
  if (report) {
    put(*report, R"([/, /, "  ERROR: ", A])", message);
    report->flush();
  }
  std::cout.flush();
  std::cerr << program << ": " << message << '\n';
}

}  // namespace cdsec
