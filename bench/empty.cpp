// The floor of start-up: a program that does nothing and returns 0.
int main() { return 0; }
