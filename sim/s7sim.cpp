// placeholder until the simulator program is built
int main() { return 0; }
