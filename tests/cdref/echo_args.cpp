// A stand-in program for the runner's test: writes each argument it was
// given on a line of its own between brackets, the working directory's name
// and ECHO_VALUE (or "unset") to standard output, what standard input holds
// to standard error; then sleeps ECHO_SLEEP seconds and exits with ECHO_EXIT.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

#include "frame/platform.hpp"

int main(int argc, char** argv) {
  cdsec::os::binary_console_output();
  for (const std::string& a : cdsec::os::arguments(argc, argv)) std::cout << "[" << a << "]\n";
  std::cout << "dir " << std::filesystem::current_path().filename().string() << "\n";
  const char* value = std::getenv("ECHO_VALUE");
  std::cout << "ECHO_VALUE " << (value ? value : "unset") << std::endl;
  const std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  std::cerr << "stdin " << in.size() << " bytes\n";
  if (const char* s = std::getenv("ECHO_SLEEP")) std::this_thread::sleep_for(std::chrono::seconds(std::atoi(s)));
  const char* code = std::getenv("ECHO_EXIT");
  return code ? std::atoi(code) : 0;
}
