// The whole of one static library and what it declares it links, and nothing else: that this
// program links is the test.
int main() { return 0; }
