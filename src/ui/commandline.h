#pragma once

// Runs the program when it is given arguments: --help, --version, or the unit with no window
// (--headless). Returns the exit status: 0 done, 2 for a usage error.
int runCommandLine(int argc, char** argv);
