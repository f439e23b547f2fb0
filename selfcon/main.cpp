// MORVAN3: secondary-structure fractions of proteins from their CD spectra
// by the self-consistent method.  Takes no arguments; works on the files of
// the current directory.
#include "frame/platform.hpp"
#include "selfcon/morvan3.hpp"

int main() {
  cdsec::os::binary_console_output();
  return cdsec::run_morvan3();
}
