// The start-up floor: a process that starts and exits, built like telk.
int main() { return 0; }
