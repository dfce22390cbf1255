// Placeholder until the start-up sequence lands.
int DoralinMain(int, char **) { return 0; }
