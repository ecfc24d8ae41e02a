#include <cstdio>

// Stands in for the sender until the pipeline exists: proves that the build and the libraries link.
int main() {
    std::printf("Tilvara Sender %s\n", KELVORA_VERSION);
    return 0;
}
