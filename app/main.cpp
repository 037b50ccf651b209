// Program entry. The command line is not read.
#include "app/Program.h"

int main(int argc, char** argv) { return viewer::RunProgram(argc, argv); }
