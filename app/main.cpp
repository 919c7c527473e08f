#include "KeyProbe.h"

#include <iostream>

int main(int argc, char* argv[]) { return RunKeyProbe(argc, argv, std::cout, std::cerr); }
