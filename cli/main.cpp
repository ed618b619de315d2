#include "cli/driver.h"

int main(int argc, char** argv) { drive(argc, argv); }
