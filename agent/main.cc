// Placeholder until the request loop lands.
int main() { return 0; }
