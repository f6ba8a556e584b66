#include "system/thread_contract.h"

#include <cstdio>
#include <cstdlib>

namespace vidmill {

void threadContractBroken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "vidmill: thread contract broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace vidmill
