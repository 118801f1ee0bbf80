#include <exception>
#include <iostream>

#include "driver/morvi_driver.h"

int main(int argc, char** argv) {
  // Nothing escapes the program as an exception: a broken precondition deep inside (an OpenCV
  // assertion, an allocation failure) is reported and ends the run with a failure status.
  try {
    return RunMorvi(argc, argv, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << (argc > 0 ? argv[0] : "morvi") << ": " << error.what() << std::endl;
  } catch (...) {
    std::cerr << (argc > 0 ? argv[0] : "morvi") << ": unexpected failure" << std::endl;
  }
  return 1;
}
