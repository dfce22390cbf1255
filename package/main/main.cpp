// Entry point; the start-up sequence lives in process.cpp.
int DoralinMain(int argc, char **argv);
int main(int argc, char **argv) { return DoralinMain(argc, argv); }
