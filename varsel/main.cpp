#include "varsel/kestra.hpp"

int main() { return cdsec::kestra_main(); }
