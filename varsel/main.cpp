#include "frame/platform.hpp"
#include "varsel/kestra.hpp"

int main() {
  cdsec::os::binary_console_output();
  return cdsec::kestra_main();
}
