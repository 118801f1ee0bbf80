#include "driver/morvi_driver.h"

int main(int argc, char** argv) { return RunMorvi(argc, argv); }
