#include <cstdio>

#include "KvaAudioPlayer.h"

int main() {
    std::puts("kvaplay: not ready");
    return 0;
}
