// Entry point; the start-up sequence lives in process.cpp.
#include "process.h"

int main(int argc, char **argv) { ExitProcess(DoralinMain(argc, argv)); }
