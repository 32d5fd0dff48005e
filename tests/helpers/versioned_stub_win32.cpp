// The version lives in versioned_stub.rc; the program itself does nothing.
int main() { return 0; }
