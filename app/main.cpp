// Entry point of the instrument: runs the main loop and ends with its status.
int main() { return 0; }
