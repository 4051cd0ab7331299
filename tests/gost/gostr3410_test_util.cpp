#include "gostr3410_test_util.h"

#include <sys/random.h>

namespace gost_test {

int system_random(unsigned char* buf, size_t len) {
    return getrandom(buf, len, 0) == static_cast<ssize_t>(len) ? 0 : -1;
}

}  // namespace gost_test
