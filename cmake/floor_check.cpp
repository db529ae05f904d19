// The program of a floor check: it only has to link, with every object of one
// floor and nothing above it.
int main() { return 0; }
