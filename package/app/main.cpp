// Entry point; the start-up sequence lives in process.cpp.
#include "app/process.h"
#include "context/context.h"

int main(int argc, char **argv) { ExitProcess(DoralinMain(argc, argv)); }
