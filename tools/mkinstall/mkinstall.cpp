// mkinstall: lays out a self-contained game installation for demos and tests.
#include <cstdio>
int main() { return 0; }
