// Key pair generation as the key store does it (2048-bit RSA, e = 65537, PKCS#8, kid, checked):
// 20 keys, each timed; prints every time, the median and the maximum.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "id_keys.h"

int main() {
    constexpr int kKeys = 20;
    static id_key_entry entry;
    std::vector<double> ms;
    for (int i = 0; i < kKeys; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (id_key_generate(&entry) != 0) {
            std::fprintf(stderr, "key generation failed\n");
            return 1;
        }
        auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::printf("key generation, %d keys (ms):", kKeys);
    for (double t : ms) std::printf(" %.1f", t);
    std::sort(ms.begin(), ms.end());
    std::printf("\nkey generation: median %.1f ms, max %.1f ms, min %.1f ms\n",
                (ms[kKeys / 2 - 1] + ms[kKeys / 2]) / 2, ms.back(), ms.front());
    return 0;
}
