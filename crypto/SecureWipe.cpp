#include "crypto/SecureWipe.h"

#include <string.h>

void SecureWipe(void* p, size_t n) noexcept
{
    if (p && n)
        explicit_bzero(p, n);
}
