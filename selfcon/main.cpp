// MORVAN3: secondary-structure fractions of proteins from their CD spectra
// by the self-consistent method.  Takes no arguments; works on the files of
// the current directory.
#include "selfcon/morvan3.hpp"

int main() { return cdsec::run_morvan3(); }
