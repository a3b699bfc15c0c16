// placeholder until the console program is built
int main() { return 1; }
