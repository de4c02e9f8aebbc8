// STUB: replaced by the fixture tool.
int main() { return 0; }
